// INI profile files: reading and editing by section and entry.
#include "diag/IniProfile.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <strings.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "util/Base.h"

namespace {

constexpr int kLineSize = 256;
// Settings files are small; a bigger one (or /dev/zero behind a link) is not read.
constexpr off_t kMaxIniSize = 64 * 1024;

// A settings file is read only when it is a regular file of this user: no link is
// followed and a FIFO cannot block the reader. errno tells why not (ENOENT: missing).
FILE* openForReading(const char* path) {
  int fd = openPrivateFile(path, O_RDONLY, 0);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size > kMaxIniSize) {
    close(fd);
    errno = EFBIG;
    return nullptr;
  }
  FILE* file = fdopen(fd, "r");
  if (file == nullptr) close(fd);
  return file;
}
constexpr int kTempNameSize = 512;

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool endsLine(const char* piece) {
  size_t n = std::strlen(piece);
  return n > 0 && piece[n - 1] == '\n';
}

bool hasLineBreak(const char* text) { return std::strpbrk(text, "\r\n") != nullptr; }

// Reads a file piece by piece and knows whether a piece starts a line, so the tail of
// a long line is never mistaken for a header, an entry or an empty line.
struct PieceReader {
  FILE* file;
  char* buffer;
  int size;
  bool lineStart = true;  // the current piece starts a line
  bool midLine = false;   // the previous piece did not end its line

  bool next() {
    if (std::fgets(buffer, size, file) == nullptr) return false;
    lineStart = !midLine;
    midLine = !endsLine(buffer);
    return true;
  }
  // Drops the rest of the current line.
  void skipRest() {
    while (midLine && next()) {
    }
  }
};

// The copy an editing function writes; removed unless it replaced the file.
struct IniCopy {
  FILE* in = nullptr;
  FILE* out = nullptr;
  char tempName[kTempNameSize] = {};
  char last = '\n';
  bool writeFailed = false;

  ~IniCopy() {
    if (in != nullptr) std::fclose(in);
    if (out != nullptr) {
      std::fclose(out);
      std::remove(tempName);
    }
  }
  void put(const char* text) {
    if (*text == '\0') return;
    if (std::fputs(text, out) == EOF) writeFailed = true;
    last = text[std::strlen(text) - 1];
  }
  // Starts a new line when the text so far stops mid-line (a last line without newline).
  void newLineIfNeeded() {
    if (last != '\n') put("\n");
  }
};

// Opens path (a missing file is allowed only when mayBeMissing) and creates the copy.
int openCopy(IniCopy& copy, const char* path, bool mayBeMissing) {
  copy.in = std::fopen(path, "r");
  // Only a file that does not exist may be treated as empty: an unreadable one would
  // otherwise be replaced by a copy without its content.
  if (copy.in == nullptr && (!mayBeMissing || errno != ENOENT)) return INI_OPEN_FAIL;
  int n = std::snprintf(copy.tempName, sizeof copy.tempName, "%s.tmp", path);
  if (n < 0 || n >= kTempNameSize) return INI_OPEN_FAIL;  // a cut name could be the file itself
  copy.out = std::fopen(copy.tempName, "w");
  return copy.out == nullptr ? INI_OPEN_FAIL : INI_OK;
}

// Closes both files; replaces the file by the copy when changed, else drops the copy.
int finishCopy(IniCopy& copy, const char* path, bool changed) {
  if (copy.in != nullptr) {
    std::fclose(copy.in);
    copy.in = nullptr;
  }
  bool failed = copy.writeFailed || std::fflush(copy.out) != 0;
  failed = (std::fclose(copy.out) != 0) || failed;
  copy.out = nullptr;
  if (failed || !changed) {
    std::remove(copy.tempName);
    return failed ? INI_OPEN_FAIL : INI_OK;
  }
  if (std::rename(copy.tempName, path) != 0) {
    std::remove(copy.tempName);
    return INI_REPLACE_FAIL;
  }
  return INI_OK;
}

// Copies every remaining piece unchanged.
void copyRest(IniCopy& copy, PieceReader& reader) {
  while (reader.next()) copy.put(reader.buffer);
}

// Copies pieces up to the header of section; true when the header was found, which is
// then in the reader's buffer and not yet copied.
bool copyToSection(IniCopy& copy, PieceReader& reader, const char* section) {
  if (copy.in == nullptr) return false;
  while (reader.next()) {
    if (reader.lineStart && isSection(reader.buffer, section)) return true;
    copy.put(reader.buffer);
  }
  return false;
}

bool validName(const char* text) { return text != nullptr && !hasLineBreak(text); }

enum class EntryEdit { Delete, Update, Rename };

// Shared body of Delete, Update and Rename of an entry.
int editEntry(const char* section, const char* key, const char* text, const char* path,
              EntryEdit edit) {
  if (path == nullptr) return INI_OPEN_FAIL;
  if (!validName(section) || !validName(key)) return INI_NO_ENTRY;
  if (edit != EntryEdit::Delete && !validName(text)) return INI_NO_ENTRY;
  if (edit == EntryEdit::Rename && std::strchr(text, '=') != nullptr) return INI_NO_ENTRY;
  IniCopy copy;
  int code = openCopy(copy, path, false);
  if (code != INI_OK) return code;
  char line[kLineSize];
  PieceReader reader{copy.in, line, kLineSize};
  bool done = false;
  if (copyToSection(copy, reader, section)) {
    copy.put(line);
    while (!done && reader.next()) {
      if (!reader.lineStart) {
        copy.put(line);
        continue;
      }
      if (isSection(line, nullptr)) {
        copy.put(line);
        break;
      }
      char* value = getValue(line, key);
      if (value == nullptr) {
        copy.put(line);
        continue;
      }
      done = true;
      if (edit == EntryEdit::Delete) {
        reader.skipRest();
      } else if (edit == EntryEdit::Update) {
        reader.skipRest();
        copy.put(key);
        copy.put("=");
        copy.put(text);
        copy.put("\n");
      } else {
        // The old value text stays exactly as it was, the rest of a long line included.
        copy.put(text);
        copy.put("=");
        copy.put(value);
      }
    }
    copyRest(copy, reader);
  }
  code = finishCopy(copy, path, done);
  if (code != INI_OK) return code;
  return done ? INI_OK : INI_NO_ENTRY;
}

// Decimal int with white space, sign and leading digits; clamped instead of overflowing.
int toInt(const char* text) {
  while (isBlank(*text)) ++text;
  bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  long long total = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    total = total * 10 + (*text - '0');
    if (total > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) total = -total;
  if (total > INT_MAX) return INT_MAX;
  if (total < INT_MIN) return INT_MIN;
  return static_cast<int>(total);
}

}  // namespace

int isSection(const char* line, const char* section) {
  if (line == nullptr) return 0;
  const char* start = line;
  while (isBlank(*start)) ++start;
  if (*start != '[') return 0;
  const char* end = start + std::strlen(start);
  while (end > start && isBlank(end[-1])) --end;
  if (end - start < 2 || end[-1] != ']') return 0;
  if (section == nullptr) return 1;
  const char* nameStart = start + 1;
  const char* nameEnd = end - 1;
  while (nameStart < nameEnd && isBlank(*nameStart)) ++nameStart;
  while (nameEnd > nameStart && isBlank(nameEnd[-1])) --nameEnd;
  size_t length = static_cast<size_t>(nameEnd - nameStart);
  return length == std::strlen(section) && strncasecmp(nameStart, section, length) == 0;
}

int gotoSection(FILE* file, const char* section) {
  if (file == nullptr || section == nullptr) return 0;
  char line[kLineSize];
  PieceReader reader{file, line, kLineSize};
  while (reader.next()) {
    if (reader.lineStart && isSection(line, section)) {
      reader.skipRest();
      return 1;
    }
  }
  return 0;
}

char* getValue(char* line, const char* key) {
  if (line == nullptr || key == nullptr || line[0] == ';') return nullptr;
  char* equals = std::strchr(line, '=');
  if (equals == nullptr) return nullptr;
  size_t length = static_cast<size_t>(equals - line);
  if (length != std::strlen(key) || strncasecmp(line, key, length) != 0) return nullptr;
  return equals + 1;
}

void trimQuote(char* value) {
  if (value == nullptr) return;
  size_t n = std::strlen(value);
  while (n > 0 && (value[n - 1] == '\r' || value[n - 1] == '\n')) value[--n] = '\0';
  char* first = value;
  while (isBlank(*first)) ++first;
  if (*first != '"' && *first != '\'') return;
  char* last = std::strrchr(first + 1, *first);
  if (last == nullptr) return;
  size_t inner = static_cast<size_t>(last - first - 1);
  std::memmove(value, first + 1, inner);
  value[inner] = '\0';
}

int getEntry(FILE* file, const char* key, char* value, int size) {
  if (file == nullptr || key == nullptr || value == nullptr || size < 1) return INI_NO_ENTRY;
  value[0] = '\0';
  // A one-byte buffer holds no text at all; reading with it would never advance.
  if (size < 2) return INI_NO_ENTRY;
  std::unique_ptr<char[]> line(new (std::nothrow) char[static_cast<size_t>(size)]);
  if (!line) return INI_NO_ENTRY;
  PieceReader reader{file, line.get(), size};
  while (reader.next()) {
    if (!reader.lineStart) continue;
    if (isSection(line.get(), nullptr)) return INI_NO_ENTRY;
    char* found = getValue(line.get(), key);
    if (found == nullptr) continue;
    trimQuote(found);
    std::memmove(value, found, std::strlen(found) + 1);
    return INI_OK;
  }
  return INI_NO_ENTRY;
}

int GetIniProfileString(const char* section, const char* key, char* value, int size,
                        const char* path) {
  if (path == nullptr) return INI_OPEN_FAIL;
  if (value != nullptr && size >= 1) value[0] = '\0';
  if (section == nullptr || key == nullptr || value == nullptr || size < 2) return INI_NO_ENTRY;
  FILE* file = openForReading(path);
  if (file == nullptr) return INI_OPEN_FAIL;
  int code = gotoSection(file, section) ? getEntry(file, key, value, size) : INI_NO_SECTION;
  std::fclose(file);
  return code;
}

int GetIniProfileInt(const char* section, const char* key, const char* path) {
  char value[kLineSize];
  if (GetIniProfileString(section, key, value, sizeof value, path) != INI_OK) return 0;
  return toInt(value);
}

int WriteIniProfileString(const char* section, const char* key, const char* value,
                          const char* path) {
  if (path == nullptr) return INI_OPEN_FAIL;
  if (!validName(section) || !validName(key) || !validName(value) ||
      std::strchr(key, '=') != nullptr)
    return INI_NO_ENTRY;
  IniCopy copy;
  int code = openCopy(copy, path, true);
  if (code != INI_OK) return code;
  char line[kLineSize];
  PieceReader reader{copy.in, line, kLineSize};
  auto putEntry = [&](const char* tail) {
    copy.newLineIfNeeded();
    copy.put(key);
    copy.put("=");
    copy.put(value);
    copy.put(tail);
  };
  if (copyToSection(copy, reader, section)) {
    copy.put(line);
    bool looking = true;
    while (looking && reader.next()) {
      if (!reader.lineStart) {
        copy.put(line);
      } else if (line[0] == '\n') {
        // Empty lines of the section are dropped; the entry goes right after its lines.
      } else if (isSection(line, nullptr)) {
        putEntry("\n\n");
        copy.put(line);
        looking = false;
      } else if (getValue(line, key) != nullptr) {
        reader.skipRest();
        putEntry("\n");
        looking = false;
      } else {
        copy.put(line);
      }
    }
    if (looking) putEntry("\n");
    copyRest(copy, reader);
  } else {
    copy.put("\n[");
    copy.put(section);
    copy.put("]\n");
    putEntry("\n\n");
  }
  return finishCopy(copy, path, true);
}

int WriteIniProfileInt(const char* section, const char* key, int value, const char* path) {
  char text[34];
  std::snprintf(text, sizeof text, "%d", value);
  return WriteIniProfileString(section, key, text, path);
}

int DeleteIniProfileSection(const char* section, const char* path) {
  if (path == nullptr) return INI_OPEN_FAIL;
  if (!validName(section)) return INI_NO_ENTRY;
  IniCopy copy;
  int code = openCopy(copy, path, false);
  if (code != INI_OK) return code;
  char line[kLineSize];
  PieceReader reader{copy.in, line, kLineSize};
  bool found = copyToSection(copy, reader, section);
  if (found) {
    reader.skipRest();
    while (reader.next()) {
      if (reader.lineStart && isSection(line, nullptr)) {
        copy.put(line);
        break;
      }
    }
    copyRest(copy, reader);
  }
  return finishCopy(copy, path, found);
}

int DeleteIniProfileEntry(const char* section, const char* key, const char* path) {
  return editEntry(section, key, nullptr, path, EntryEdit::Delete);
}

int UpdateIniProfileEntry(const char* section, const char* key, const char* value,
                          const char* path) {
  return editEntry(section, key, value, path, EntryEdit::Update);
}

int RenameIniProfileEntry(const char* section, const char* oldKey, const char* newKey,
                          const char* path) {
  return editEntry(section, oldKey, newKey, path, EntryEdit::Rename);
}
