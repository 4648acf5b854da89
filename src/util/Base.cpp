// Clock seam, local-time text and bounded text copies: the part of the utilities under
// the console (see Base.h).
#include "util/Base.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<HalvorantClock> g_clock{nullptr};

// Accepts the conversions getTime feeds: "%d" first, then at most five "%s", plus "%%".
bool timeFormatUsable(const char* format) {
  int used = 0;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') continue;
    ++p;
    if (*p == '%') continue;
    while (*p && strchr("-+ #0", *p) != nullptr) ++p;
    while (*p >= '0' && *p <= '9') ++p;
    if (*p == '.') {
      ++p;
      while (*p >= '0' && *p <= '9') ++p;
    }
    char wanted = used == 0 ? 'd' : 's';
    if (*p != wanted || ++used > 6) return false;
  }
  return true;
}

}  // namespace

time_t halvorantNow() {
  HalvorantClock clock = g_clock.load();
  return clock != nullptr ? clock() : time(nullptr);
}

void setHalvorantClock(HalvorantClock clock) { g_clock.store(clock); }

bool formatLocalTime(char* out, size_t capacity, const char* format, time_t now) {
  if (out == nullptr || capacity == 0) return false;
  out[0] = '\0';
  if (format == nullptr || !timeFormatUsable(format)) return false;
  struct tm local;
  if (localtime_r(&now, &local) == nullptr) {
    snprintf(out, capacity, "%s", "Unknow time");
    return false;
  }
  char two[5][4];
  const int parts[5] = {local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
  for (int i = 0; i < 5; ++i) snprintf(two[i], sizeof two[i], "%02d", parts[i] % 100);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  snprintf(out, capacity, format, local.tm_year + 1900, two[0], two[1], two[2], two[3], two[4]);
#pragma GCC diagnostic pop
  return true;
}

void copyBounded(char* destination, uint32_t size, const char* source) {
  if (destination == nullptr || source == nullptr || size == 0) return;
  size_t length = strnlen(source, size - 1);
  memmove(destination, source, length);
  destination[length] = '\0';
  destination[size - 1] = '\0';
}

void appendBounded(char* destination, uint32_t size, const char* source) {
  if (destination == nullptr || source == nullptr || size == 0) return;
  size_t used = strnlen(destination, size);
  if (used >= size) return;  // not a terminated text within the buffer
  copyBounded(destination + used, static_cast<uint32_t>(size - used), source);
}

// ---- Private files ---------------------------------------------------------------------

bool isPrivateDirectory(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  struct stat st;
  if (lstat(path, &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

bool isInPrivateDirectory(const char* path) {
  if (path == nullptr || path[0] == '\0') return false;
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) return isPrivateDirectory(".");
  if (slash == path) return isPrivateDirectory("/");
  char parent[4096];
  size_t length = static_cast<size_t>(slash - path);
  if (length >= sizeof parent) return false;
  memcpy(parent, path, length);
  parent[length] = '\0';
  return isPrivateDirectory(parent);
}

int openPrivateFile(const char* path, int flags, unsigned mode) {
  if (path == nullptr || path[0] == '\0') {
    errno = EINVAL;
    return -1;
  }
  int fd = open(path, flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, static_cast<mode_t>(mode));
  if (fd < 0) return -1;
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (st.st_uid != geteuid()) {
    err = EPERM;
  }
  if (err != 0) {
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}
