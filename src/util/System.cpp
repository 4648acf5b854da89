// Paths, files, libraries and randomness.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "diag/Console.h"
#include "platform/Platform.h"
#include "util/Tool.h"
#include "util/ToolDetail.h"

char CopyPathBuffer[4096] = {0};

namespace {

std::mutex g_deviceLock;
char g_randomDevice[512] = "/dev/urandom";

const char kIdAlphabet[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

}  // namespace

// ---- Paths -----------------------------------------------------------------------------

void trimExecutablePath(char* path) {
  if (path == nullptr) return;
  char* dot = strstr(path, "/./");
  if (dot != nullptr) {
    *dot = '\0';
    return;
  }
  // Index 0 is never examined: a path whose only '/' leads stays whole.
  for (size_t i = strlen(path); i-- > 1;) {
    if (path[i] == '/') {
      path[i] = '\0';
      return;
    }
  }
}

char* getExecutePath() {
  char* path = static_cast<char*>(newMemSize(512));
  if (path == nullptr) return nullptr;
  int rc = platformExecutablePath(path, 512);
  if (rc == -1) {
    printfColorWarningLine("getExecutePath: ", "Buffer too small");
    freeMem(path);
    return nullptr;
  }
  if (rc != 0 || strlen(path) < 6) {
    printfColorWarningLine("getExecutePath: ", "Unknow error");
    freeMem(path);
    return nullptr;
  }
  trimExecutablePath(path);
  return path;
}

char* getCopyPath(const char* name) {
  char* path = static_cast<char*>(newMemSize(4096));
  if (path == nullptr) return nullptr;
  if (name != nullptr)
    snprintf(path, 4096, "/tmp/%s", name);
  else
    ArrayCopy(path, 4096, "/tmp");
  ArrayCopy(CopyPathBuffer, sizeof CopyPathBuffer, path);
  return path;
}

// ---- Files -----------------------------------------------------------------------------

bool isFileExist(const char* path) {
  if (path == nullptr) {
    HALVORANT_NULL_WARNING("inputFileName");
    return false;
  }
  struct stat st;
  return stat(path, &st) == 0;
}

char* readFile(const char* path, const char* mode) {
  if (path == nullptr) {
    printfColorWarningLine("", "inputPath is null");
    return nullptr;
  }
  if (checkNoValue(mode)) {
    printfColorWarningLine("", "inputMode is empty");
    return nullptr;
  }
  // A reader never opens for writing: "w" or "a" would create or truncate the file.
  if (mode[0] != 'r') {
    printfColorWarningLine("readFile mode: ", mode);
    return nullptr;
  }
  FILE* file = fopen(path, mode);
  if (file == nullptr) {
    printfColorWarningLine("", "Read file pointer is null");
    return nullptr;
  }
  // Pieces of at most 511 characters; text after a NUL inside a piece is dropped.
  std::string text;
  bool any = false;
  char piece[512];
  while (fgets(piece, sizeof piece, file) != nullptr) {
    any = true;
    text.append(piece, strlen(piece));
    if (text.size() >= 2147483647ULL) break;
  }
  fclose(file);
  if (!any) return nullptr;
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(text.size()) + 1));
  if (out == nullptr) return nullptr;
  memcpy(out, text.data(), text.size());
  return out;
}

bool deleteFile(const char* path) {
  if (path == nullptr) {
    HALVORANT_NULL_WARNING("inputFilePath");
    return false;
  }
  return unlink(path) == 0;
}

bool Halvorant_CopyFile(const char* source, const char* destination) {
  if (source == nullptr) {
    HALVORANT_NULL_WARNING("source");
    return false;
  }
  if (destination == nullptr) {
    HALVORANT_NULL_WARNING("destination");
    return false;
  }
  printfColorLine("Copyfile source: ", source);
  printfColorLine("Copyfile end: ", destination);
  // Copied in-process: request texts never reach a shell, and the outcome is real.
  int err = platformCopyFile(source, destination);
  if (err != 0) {
    printfColorErrorLine("Copyfile fail: ", strerror(err));
    return false;
  }
  return true;
}

bool CP_FreeLibrary(void* library) {
  if (library == nullptr) {
    printfColorWarningLine("FreeLibrary: ", "NULL");
    return true;
  }
  if (dlclose(library) != 0) {
    const char* error = dlerror();
    if (error != nullptr) {
      printfColorWarningLine("Free library error code: ", error);
      return false;
    }
  }
  return true;
}

// ---- Randomness ------------------------------------------------------------------------

void setSecureRandomDevice(const char* path) {
  std::lock_guard<std::mutex> guard(g_deviceLock);
  ArrayCopy(g_randomDevice, sizeof g_randomDevice, path != nullptr ? path : "/dev/urandom");
}

bool getSecureRandom(unsigned char* buffer, int length) {
  if (buffer == nullptr && length > 0) {
    HALVORANT_NULL_WARNING("buffer");
    return false;
  }
  int fd;
  {
    std::lock_guard<std::mutex> guard(g_deviceLock);
    fd = open(g_randomDevice, O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) return false;
  int filled = 0;
  while (filled < length) {
    ssize_t n = read(fd, buffer + filled, static_cast<size_t>(length - filled));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    filled += static_cast<int>(n);
  }
  // Bytes the device did not give stay zero.
  if (filled < length) memset(buffer + filled, 0, static_cast<size_t>(length - filled));
  close(fd);
  return true;
}

char* genUUID() {
  unsigned char bytes[8] = {0};
  getSecureRandom(bytes, sizeof bytes);  // a failure leaves zeros: "00000000_SID"
  char id[13] = "00000000_SID";
  for (int i = 0; i < 8; ++i) {
    // The byte is read as signed and widened before the modulo; pages see this mapping.
    uint64_t index = static_cast<uint64_t>(static_cast<int64_t>(static_cast<int8_t>(bytes[i])));
    id[i] = kIdAlphabet[index % 36];
  }
  return newMem(static_cast<const char*>(id));
}
