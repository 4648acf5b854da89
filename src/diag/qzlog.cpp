// File logger: dated file names, size rotation, one line per message.
//
// Choices beyond the plain format:
// - levels outside 0-5 have no name: such messages are refused (-2), and so are such
//   levels given to qzlog_setlevel, qzlog_initialize or as "Log Level" (qzlog_init then
//   returns -2 and logging stays off);
// - a null section or settings path reads nothing (defaults, result 101);
// - an empty "Log File" counts as missing;
// - nothing is written before the logger has been set up (no file name yet);
// - a name without an extension gets the index too, so rotation always reaches a new file;
// - only a '.' in the last path component starts the extension;
// - a day keeps at most kRotatedKept files besides the current one: each rotation removes
//   the oldest, so a flood of lines cannot fill the disk.
#include "diag/qzlog.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <mutex>
#include <string>
#include <tuple>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "diag/Console.h"
#include "diag/IniProfile.h"
#include "platform/Platform.h"
#include "util/Base.h"

namespace {

constexpr int kMaxLevel = 5;
constexpr int kRefused = -2;
constexpr int kNameSize = 128;
// Room for a 127-character base plus date and index: names are never cut, so every
// index gives a different name and the rotation search ends.
constexpr int kFileNameSize = 256;
constexpr int kRotationLimit = 100000;
constexpr size_t kRotatedKept = 10;

const char* const DefaultLogFile = "C:\\QzLog.log";
const char* const kLevelNames[kMaxLevel + 1] = {"",        "[FATAL]", "[ERROR]",
                                                "[WARN ]", "[INFO ]", "[DEBUG]"};

char log_file[kNameSize] = {};
int log_index = 0;
long long log_maxsize = 0;
std::atomic<int> log_level{0};
std::atomic<int> log_init{0};
std::mutex log_mutex;

bool validLevel(int level) { return level >= 0 && level <= kMaxLevel; }

void copyCut(char* destination, size_t size, const char* source) {
  std::snprintf(destination, size, "%s", source);
}

long long toLongLong(const char* text) { return std::strtoll(text, nullptr, 10); }

// After a rotation: the day's other files of this log (stem_YYYYMMDD and
// stem_YYYYMMDD_N, with the extension) are removed, oldest first, until kRotatedKept
// remain. Oldest by modification time, then index: after a restart the numbers begin
// again. Only plain files are touched, and only in a private directory. Called with the
// mutex held.
void trimRotated(const std::string& stem, const char* extension, const char* day, const char* current) {
  const size_t slash = stem.find_last_of('/');
  const std::string directory = slash == std::string::npos ? "." : stem.substr(0, slash);
  const std::string prefix = (slash == std::string::npos ? stem : stem.substr(slash + 1)) + day;
  struct Rotated {
    time_t changed;
    unsigned long index;
    std::string path;
  };
  std::vector<Rotated> found;
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = readdir(listing)) {
    const char* name = entry->d_name;
    if (strncmp(name, prefix.c_str(), prefix.size()) != 0) continue;
    const char* rest = name + prefix.size();
    unsigned long index = 0;
    if (*rest == '_') {
      char* end = nullptr;
      if (rest[1] < '1' || rest[1] > '9') continue;
      index = strtoul(rest + 1, &end, 10);
      rest = end;
    }
    if (strcmp(rest, extension) != 0) continue;
    std::string path = directory + "/" + name;
    struct stat info;
    if (path == current || lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
    found.push_back({info.st_mtime, index, std::move(path)});
  }
  closedir(listing);
  if (found.size() <= kRotatedKept || !isInPrivateDirectory(current)) return;
  std::sort(found.begin(), found.end(), [](const Rotated& a, const Rotated& b) {
    return std::tie(a.changed, a.index) < std::tie(b.changed, b.index);
  });
  for (size_t i = 0; i + kRotatedKept < found.size(); ++i) unlink(found[i].path.c_str());
}

// Builds the dated file name and the line's time stamp; applies rotation by size.
// Called with the mutex held.
void getEnv(char* name, size_t nameSize, char* stamp, size_t stampSize) {
  name[0] = '\0';
  stamp[0] = '\0';
  time_t now = halvorantNow();
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) return;
  unsigned long millis = static_cast<unsigned long>(GetMilliseconds() % 1000);
  int year = local.tm_year + 1900;
  int month = local.tm_mon + 1;
  int day = local.tm_mday;

  const char* base = log_file;
  for (const char* p = log_file; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  const char* dot = std::strrchr(base, '.');
  const char* stemEnd = dot ? dot : log_file + std::strlen(log_file);
  std::string stem(static_cast<const char*>(log_file), stemEnd);
  const char* extension = dot ? dot : "";

  const int indexBefore = log_index;
  for (int step = 0;; ++step) {
    if (log_index < 1)
      std::snprintf(name, nameSize, "%s_%04d%02d%02d%s", stem.c_str(), year, month, day,
                    extension);
    else
      std::snprintf(name, nameSize, "%s_%04d%02d%02d_%d%s", stem.c_str(), year, month, day,
                    log_index, extension);
    if (log_maxsize <= 0 || step >= kRotationLimit) break;
    struct stat info;
    if (stat(name, &info) != 0) break;
    if (static_cast<long long>(info.st_size) <= log_maxsize) break;
    ++log_index;
  }
  if (log_index != indexBefore) {
    char dayText[48];
    std::snprintf(dayText, sizeof dayText, "_%04d%02d%02d", year, month, day);
    trimRotated(stem, extension, dayText, name);
  }
  std::snprintf(stamp, stampSize, "%d-%02d-%02d %02d:%02d:%02d.%03lu", year, month, day,
                local.tm_hour, local.tm_min, local.tm_sec, millis);
}

// The log file is written only in a directory of this user that nobody else may write,
// as a regular file of this user, never through a link: a planted link or file must not
// turn the log into a write into someone's files, nor let another user read it.
int openLogFile(const char* name) {
  if (!isInPrivateDirectory(name)) return -1;
  return openPrivateFile(name, O_WRONLY | O_APPEND | O_CREAT, 0600);
}

// value % 100000 as five digits, like "%05lu".
void putFiveDigits(char* at, uint64_t value) {
  value %= 100000;
  for (int i = 4; i >= 0; --i) {
    at[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
}

// One line "stamp level [pid-tid] message" with the message in two finished parts, in
// one write (the file is opened for appending, so lines of other processes stay whole).
// Called with the mutex held.
void writeMessage(int level, const char* first, size_t firstLength, const char* second, size_t secondLength) {
  char name[kFileNameSize];
  char stamp[kNameSize];
  getEnv(name, sizeof name, stamp, sizeof stamp);
  if (name[0] == '\0') return;
  int fd = openLogFile(name);
  if (fd < 0) return;  // the line is lost silently, by contract
  char head[kNameSize + 32];
  size_t at = strlen(stamp);
  memcpy(head, stamp, at);
  head[at++] = ' ';
  const char* levelName = kLevelNames[level];
  const size_t levelSize = strlen(levelName);
  memcpy(head + at, levelName, levelSize);
  at += levelSize;
  head[at++] = ' ';
  head[at++] = '[';
  putFiveDigits(head + at, GetCurrentProcessId());
  at += 5;
  head[at++] = '-';
  putFiveDigits(head + at, GetCurrentThreadId());
  at += 5;
  head[at++] = ']';
  head[at++] = ' ';
  struct iovec parts[4] = {{head, at},
                           {const_cast<char*>(first != nullptr ? first : ""), first != nullptr ? firstLength : 0},
                           {const_cast<char*>(second != nullptr ? second : ""), second != nullptr ? secondLength : 0},
                           {const_cast<char*>("\n"), 1}};
  struct iovec* part = parts;
  int count = 4;
  while (count > 0) {
    ssize_t n = writev(fd, part, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t done = static_cast<size_t>(n);
    while (count > 0 && done >= part->iov_len) {
      done -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + done;
      part->iov_len -= done;
    }
  }
  close(fd);
}

void vlog(int level, const char* format, va_list arguments) {
  // Formatted first: a message carries text from outside, whose controls (a newline
  // forging a line of its own) are escaped.
  char local[1024];
  va_list copy;
  va_copy(copy, arguments);
  int size = std::vsnprintf(local, sizeof local, format, copy);
  va_end(copy);
  if (size < 0) return;
  std::string message;
  if (static_cast<size_t>(size) < sizeof local) {
    message.assign(local, static_cast<size_t>(size));
  } else {
    message.resize(static_cast<size_t>(size) + 1);
    std::vsnprintf(&message[0], message.size(), format, arguments);
    message.resize(static_cast<size_t>(size));
  }
  if (needsEscape(message.c_str())) message = escapeControls(message.c_str());
  writeMessage(level, message.data(), message.size(), nullptr, 0);
}

__attribute__((format(printf, 2, 3))) void writeLine(int level, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  vlog(level, format, arguments);
  va_end(arguments);
}

const char* orNull(const char* text) { return text ? text : "(null)"; }

}  // namespace

int qzlog_init(const char* section, const char* ini) {
  if (log_init.load() == 1) return -1;
  char path[kNameSize] = {};
  char value[kNameSize];
  bool haveIni = ini != nullptr && section != nullptr;
  if (haveIni) {
    if (std::strchr(ini, '/') == nullptr && std::strchr(ini, '\\') == nullptr) {
      std::snprintf(path, sizeof path, "/tmp/%s", ini);
      if (GetIniProfileString(section, "Log File", value, sizeof value, path) != INI_OK)
        std::snprintf(path, sizeof path, "/QzLog/%s", ini);
    } else {
      copyCut(path, sizeof path, ini);
    }
  }
  std::lock_guard<std::mutex> guard(log_mutex);
  if (!haveIni ||
      GetIniProfileString(section, "Log File", value, sizeof value, path) != INI_OK ||
      value[0] == '\0')
    copyCut(value, sizeof value, DefaultLogFile);
  copyCut(log_file, sizeof log_file, value);

  char size[64];
  log_maxsize = haveIni && GetIniProfileString(section, "Log MaxSize", size, sizeof size,
                                               path) == INI_OK
                    ? toLongLong(size)
                    : 0;

  char level[16];
  int code = haveIni ? GetIniProfileString(section, "Log Level", level, sizeof level, path)
                     : INI_OPEN_FAIL;
  if (code != INI_OK) {
    log_level = 0;
    return code;
  }
  long long wanted = toLongLong(level);
  if (wanted < 0 || wanted > kMaxLevel) {
    log_level = 0;
    return kRefused;
  }
  log_level = static_cast<int>(wanted);
  log_init = 1;
  // Written at the configured level, so it always appears.
  writeLine(log_level.load(), "Log Enable '%s'", path);
  return 0;
}

int qzlog_initialize(const char* logFile, int level) {
  if (!validLevel(level)) return kRefused;
  std::lock_guard<std::mutex> guard(log_mutex);
  if (level == 0) {
    log_init = 0;
    log_level = 0;
  } else if (logFile != nullptr) {
    copyCut(log_file, sizeof log_file, logFile);
    log_level = level;
    log_init = 1;
  }
  return 0;
}

int qzlog_setlevel(int level) {
  if (!validLevel(level)) return kRefused;
  log_level = level;
  return 0;
}

uint64_t qzlog_time() { return GetMilliseconds(); }

int qzvlog(int level, int flags, const char* format, va_list arguments) {
  if (!validLevel(level) || log_init.load() != 1 || level > log_level.load()) return kRefused;
  if (format == nullptr) return kRefused;
  std::lock_guard<std::mutex> guard(log_mutex);
  vlog(level, format, arguments);
  return 0;
}

int qzlog_text(int level, const char* first, size_t firstLength, const char* second, size_t secondLength) {
  if (!validLevel(level) || log_init.load() != 1 || level > log_level.load()) return kRefused;
  std::lock_guard<std::mutex> guard(log_mutex);
  writeMessage(level, first, firstLength, second, secondLength);
  return 0;
}

int qzlog(int level, int flags, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  int result = qzvlog(level, flags, format, arguments);
  va_end(arguments);
  return result;
}

int qzlog_dump(int level, const char* file, int line, const char* function, const char* label,
               const unsigned char* data, int length) {
  if (!validLevel(level) || log_init.load() != 1 || level > log_level.load()) return kRefused;
  static const char digits[] = "0123456789ABCDEF";
  std::string hex;
  if (data != nullptr && length > 0) {
    hex.reserve(static_cast<size_t>(length) * 2);
    for (int i = 0; i < length; ++i) {
      hex.push_back(digits[data[i] >> 4]);
      hex.push_back(digits[data[i] & 0x0F]);
    }
  }
  return qzlog(level, 0, "%s %d %s %s %d %s", orNull(file), line, orNull(function),
               orNull(label), length, hex.empty() ? "(null)" : hex.c_str());
}

uint64_t GetMilliseconds() {
  struct timeval now;
  gettimeofday(&now, nullptr);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_usec) / 1000;
}

uint64_t GetCurrentProcessId() { return static_cast<uint64_t>(getpid()); }

uint64_t GetCurrentThreadId() { return platformThreadId(); }

// A std::mutex is ready from the start; CreateLock stays for callers that expect it.
void CreateLock() {}
void Lock() { log_mutex.lock(); }
void Unlock() { log_mutex.unlock(); }
