// Credentials: this user's CA and localhost certificate in the data directory, loaded,
// checked, made or renewed at start-up.
#include "front/Key.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "front/KeyIssue.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr off_t kMaxFileSize = 64 * 1024;
const char kLabel[] = "Credentials: ";

// Texts prepared for the listeners (main thread only: start-up and the command line).
IssuedPair g_prepared;

void say(CredentialReport report, CredentialNote kind, const std::string& text) {
  if (report != nullptr) report(kind, kLabel, text.c_str());
}

std::string modeText(mode_t mode) {
  char text[16];
  snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

// Closes a descriptor when the step ends.
struct Descriptor {
  int fd = -1;
  explicit Descriptor(int value) : fd(value) {}
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
};

// The data directory, opened without following a link, and the user's own. With create it
// is made 0700 with its missing parents, and tightened to 0700 when others could enter it.
// -1 after an error note.
int openDirectory(const std::string& path, bool create, CredentialReport report) {
  if (create) {
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
      mkdir(path.substr(0, at).c_str(), 0700);  // parents that exist stay as they are
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
      say(report, CredentialNote::Error, "cannot create " + path + ": " + strerror(errno));
      return -1;
    }
  }
  int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      say(report, CredentialNote::Error, path + " is a link or not a directory: refused. Remove it and start again");
    else if (create || errno != ENOENT)
      say(report, CredentialNote::Error, "cannot open " + path + ": " + strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_uid != geteuid()) {
    say(report, CredentialNote::Error,
        path + " belongs to user " + std::to_string(st.st_uid) + ", not to this user: refused, nothing in it is used");
    close(fd);
    return -1;
  }
  if (create && (st.st_mode & 077) != 0) {
    if (fchmod(fd, 0700) != 0) {
      say(report, CredentialNote::Error, "cannot make " + path + " private (0700): " + strerror(errno));
      close(fd);
      return -1;
    }
    say(report, CredentialNote::Warning, path + " was open to other users (mode " + modeText(st.st_mode) + "): now 0700");
  }
  return fd;
}

std::string removeHint(const char* name) {
  if (strcmp(name, kCaKeyFileName) == 0 || strcmp(name, kCaFileName) == 0)
    return "Remove it: the next start makes a new CA, which browsers must trust again (noxhalvorant --trust)";
  return "Remove it: the next start makes a new one";
}

// Opens name in dir without following a link and checks what it is. Returns the open
// descriptor; -1 with *missing when it does not exist; -1 after an error note when refused.
int openChecked(int dir, const std::string& path, const char* name, bool secret, bool* missing,
                CredentialReport report) {
  *missing = false;
  const std::string file = path + "/" + name;
  int fd = openat(dir, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) {
      *missing = true;
    } else if (errno == ELOOP) {
      say(report, CredentialNote::Error, file + " is a link: refused, never used. " + removeHint(name));
    } else {
      say(report, CredentialNote::Error, "cannot open " + file + ": " + strerror(errno));
    }
    return -1;
  }
  struct stat st;
  std::string refusal;
  if (fstat(fd, &st) != 0) {
    refusal = std::string("cannot be examined: ") + strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    refusal = "is not a plain file";
  } else if (st.st_uid != geteuid()) {
    refusal = "belongs to user " + std::to_string(st.st_uid) + ", not to this user";
  } else if (secret && (st.st_mode & 077) != 0) {
    refusal = "can be read by other users (mode " + modeText(st.st_mode) + ")";
  } else if (!secret && (st.st_mode & 022) != 0) {
    refusal = "can be written by other users (mode " + modeText(st.st_mode) + ")";
  } else if (st.st_size > kMaxFileSize) {
    refusal = "is larger than 64 KiB";
  }
  if (!refusal.empty()) {
    say(report, CredentialNote::Error, file + " " + refusal + ": refused, never used. " + removeHint(name));
    close(fd);
    return -1;
  }
  return fd;
}

// The whole file as a NUL-terminated text (read(2) only: no stdio buffer keeps a copy).
char* readAll(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return nullptr;
  const size_t size = static_cast<size_t>(st.st_size);
  char* text = static_cast<char*>(newMemSize(size + 1));
  if (text == nullptr) return nullptr;
  size_t done = 0;
  while (done < size) {
    ssize_t n = read(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  text[done] = '\0';
  return text;
}

// Checks name and reads it into *text (null when the file does not exist). False after an
// error note (refused, unreadable).
bool readChecked(int dir, const std::string& path, const char* name, bool secret, char** text,
                 CredentialReport report) {
  *text = nullptr;
  bool missing = false;
  Descriptor fd(openChecked(dir, path, name, secret, &missing, report));
  if (fd.fd < 0) return missing;
  *text = readAll(fd.fd);
  if (*text == nullptr) say(report, CredentialNote::Error, "cannot read " + path + "/" + name);
  return *text != nullptr;
}

// Writes text as name: a temporary created with O_EXCL|O_NOFOLLOW (mode as given, whatever
// the umask), synced, then renamed over the old file.
bool writeAt(int dir, const std::string& path, const char* name, const char* text, mode_t mode,
             CredentialReport report) {
  const std::string temporary = std::string(name) + ".new";
  unlinkat(dir, temporary.c_str(), 0);  // left by an interrupted start
  int fd = openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
  bool ok = fd >= 0 && fchmod(fd, mode) == 0;
  for (size_t done = 0, size = strlen(text); ok && done < size;) {
    ssize_t n = write(fd, text + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  int err = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && renameat(dir, temporary.c_str(), dir, name) == 0) return true;
  if (ok) err = errno;
  unlinkat(dir, temporary.c_str(), 0);
  say(report, CredentialNote::Error, "cannot write " + path + "/" + name + ": " + strerror(err));
  return false;
}

bool writePair(int dir, const std::string& path, const IssuedPair& pair, const char* certName, const char* keyName,
               CredentialReport report) {
  // The key first: a start interrupted between the two finds a pair that does not match and
  // makes it again.
  bool ok = writeAt(dir, path, keyName, pair.key, 0600, report) &&
            writeAt(dir, path, certName, pair.certificate, 0644, report);
  fsync(dir);
  return ok;
}

long daysBetween(time_t from, time_t to) { return static_cast<long>((to - from) / kDaySeconds); }

// What the files hold, as read at the start.
struct Found {
  IssuedPair ca;  // the CA key is read only when a leaf is to be issued
  IssuedPair leaf;
  bool caKeyMissing = false;
  ~Found() {
    releasePair(&ca);
    releasePair(&leaf);
  }
};

// Reads the certificates and the leaf key, and checks the CA key without reading it.
bool readFiles(int dir, const std::string& path, Found* found, CredentialReport report) {
  if (!readChecked(dir, path, kCaFileName, false, &found->ca.certificate, report) ||
      !readChecked(dir, path, kLeafFileName, false, &found->leaf.certificate, report) ||
      !readChecked(dir, path, kLeafKeyFileName, true, &found->leaf.key, report))
    return false;
  Descriptor caKey(openChecked(dir, path, kCaKeyFileName, true, &found->caKeyMissing, report));
  return caKey.fd >= 0 || found->caKeyMissing;
}

// Why the leaf on disk cannot serve (empty: it can).
std::string leafProblem(const Found& found, bool caReadable, time_t now) {
  time_t until = 0;
  if (found.leaf.certificate == nullptr || found.leaf.key == nullptr) return "it is missing";
  if (!certificateFacts(found.leaf.certificate, &until, nullptr)) return "it cannot be read";
  if (!keyMatches(found.leaf.certificate, found.leaf.key)) return "it does not match its key";
  if (!caReadable || !signedBy(found.leaf.certificate, found.ca.certificate)) return "it was not issued by the CA";
  if (until - now <= kRenewDays * kDaySeconds)
    return until <= now ? "it has expired" : "it expires in " + std::to_string(daysBetween(now, until)) + " days";
  return "";
}

// Why the CA cannot issue a leaf (empty: it can); reads the CA key into found.
std::string caProblem(int dir, const std::string& path, Found* found, bool caReadable, time_t now,
                      CredentialReport report) {
  time_t until = 0;
  if (!caReadable || !certificateFacts(found->ca.certificate, &until, nullptr)) return "the CA certificate is missing";
  if (found->caKeyMissing) return "the CA key is missing";
  if (until - now <= 2 * kRenewDays * kDaySeconds) return "the CA expires in " + std::to_string(daysBetween(now, until)) + " days";
  if (!readChecked(dir, path, kCaKeyFileName, true, &found->ca.key, report) || found->ca.key == nullptr)
    return "the CA key cannot be read";
  if (!keyMatches(found->ca.certificate, found->ca.key)) return "the CA key does not match its certificate";
  return "";
}

// The checks, and any making or renewing, in the calling process: true when the files in
// the directory now hold a usable CA and leaf.
bool checkAndMake(const std::string& path, time_t now, CredentialReport report) {
  Descriptor dir(openDirectory(path, true, report));
  if (dir.fd < 0) return false;
  // Two processes of this user (a start and --trust) must not make two CAs at once.
  while (flock(dir.fd, LOCK_EX) != 0 && errno == EINTR) {
  }
  Found found;
  if (!readFiles(dir.fd, path, &found, report)) return false;
  bool isCa = false;
  const bool caReadable =
      found.ca.certificate != nullptr && certificateFacts(found.ca.certificate, nullptr, &isCa) && isCa;
  const std::string leafWhy = leafProblem(found, caReadable, now);
  if (leafWhy.empty()) return true;
  const bool firstStart = found.ca.certificate == nullptr && found.caKeyMissing;
  const std::string caWhy = caProblem(dir.fd, path, &found, caReadable, now, report);
  const char* why = "";
  if (!caWhy.empty()) {
    if (firstStart) {
      say(report, CredentialNote::Normal,
          "first start: making this user's CA and localhost certificate in " + path +
              "; let the browsers trust the CA once with: noxhalvorant --trust");
    } else {
      say(report, CredentialNote::Warning,
          "a new CA is made (" + caWhy + "); browsers trust it only after: noxhalvorant --trust");
    }
    releasePair(&found.ca);
    if (!issueCa(now, &found.ca, &why)) {
      say(report, CredentialNote::Error, why);
      return false;
    }
    if (!writePair(dir.fd, path, found.ca, kCaFileName, kCaKeyFileName, report)) return false;
  } else {
    say(report, CredentialNote::Normal, "a new localhost certificate is issued: " + leafWhy);
  }
  releasePair(&found.leaf);
  if (!issueLeaf(found.ca, now, &found.leaf, &why)) {
    say(report, CredentialNote::Error, why);
    return false;
  }
  return writePair(dir.fd, path, found.leaf, kLeafFileName, kLeafKeyFileName, report);
}

// The child's notes travel to the parent as lines "kind label<TAB>text".
int g_noteFd = -1;
void pipeReport(CredentialNote kind, const char* label, const char* text) {
  std::string line = std::to_string(static_cast<int>(kind)) + " " + label + "\t" + text + "\n";
  for (size_t done = 0; done < line.size();) {
    ssize_t n = write(g_noteFd, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// checkAndMake in a child process. Parsing key texts and making keys leaves key bytes in
// memory GnuTLS frees without wiping; they leave with the child, and the CA key never
// enters the service at all. The child's notes are handed to report here.
bool checkAndMakeApart(const std::string& path, time_t now, CredentialReport report) {
  int notes[2];
  if (pipe2(notes, O_CLOEXEC) != 0) {
    say(report, CredentialNote::Error, std::string("cannot check the credentials: ") + strerror(errno));
    return false;
  }
  fflush(nullptr);  // nothing buffered is written twice
  pid_t pid = fork();
  if (pid < 0) {
    close(notes[0]);
    close(notes[1]);
    say(report, CredentialNote::Error, std::string("cannot check the credentials: ") + strerror(errno));
    return false;
  }
  if (pid == 0) {
    close(notes[0]);
    g_noteFd = notes[1];
    _exit(checkAndMake(path, now, pipeReport) ? 0 : 1);
  }
  close(notes[1]);
  std::string text;
  char buffer[1024];
  for (;;) {
    ssize_t n = read(notes[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(notes[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = text.substr(at, end - at);
    const size_t space = line.find(' '), tab = line.find('\t');
    if (space == std::string::npos || tab == std::string::npos || tab < space || report == nullptr) continue;
    report(static_cast<CredentialNote>(line[0] - '0'), line.substr(space + 1, tab - space - 1).c_str(),
           line.substr(tab + 1).c_str());
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool prepareCredentials(const char* directory, time_t now, CredentialReport report, time_t* expiry) {
  discardCredentials();
  if (directory == nullptr || directory[0] != '/') {
    say(report, CredentialNote::Error, "no data directory for this user's certificate (HOME is not set)");
    return false;
  }
  const std::string path = directory;
  if (!checkAndMakeApart(path, now, report)) return false;
  // What the child found good is read once more, checked the same way, for the listeners.
  Descriptor dir(openDirectory(path, false, report));
  if (dir.fd < 0) return false;
  IssuedPair leaf;
  if (!readChecked(dir.fd, path, kLeafFileName, false, &leaf.certificate, report) ||
      !readChecked(dir.fd, path, kLeafKeyFileName, true, &leaf.key, report) || leaf.certificate == nullptr ||
      leaf.key == nullptr || (expiry != nullptr && !certificateFacts(leaf.certificate, expiry, nullptr))) {
    releasePair(&leaf);
    say(report, CredentialNote::Error, "the localhost certificate in " + path + " changed while it was read");
    return false;
  }
  g_prepared = leaf;
  return true;
}

char* getCert() {
  char* text = g_prepared.certificate;
  g_prepared.certificate = nullptr;
  return text;
}

char* getKey() {
  char* text = g_prepared.key;
  g_prepared.key = nullptr;
  return text;
}

void discardCredentials() { releasePair(&g_prepared); }

bool readCertificateExpiry(const char* directory, time_t* expiry) {
  if (directory == nullptr || expiry == nullptr) return false;
  Descriptor dir(openDirectory(directory, false, nullptr));
  if (dir.fd < 0) return false;
  char* text = nullptr;
  bool ok = readChecked(dir.fd, directory, kLeafFileName, false, &text, nullptr) && text != nullptr &&
            certificateFacts(text, expiry, nullptr);
  freeMem(text);
  return ok;
}
