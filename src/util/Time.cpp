// Clock seam, local-time texts and the service's time value.
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/Console.h"
#include "util/Tool.h"
#include "util/ToolDetail.h"

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

bool localNow(struct tm* out) {
  time_t now = halvorantNow();
  return localtime_r(&now, out) != nullptr;
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

char* getTime(const char* format) {
  if (format == nullptr) {
    HALVORANT_NULL_WARNING("format");
    return nullptr;
  }
  char buffer[64];
  if (!formatLocalTime(buffer, sizeof buffer, format, halvorantNow()) && buffer[0] == '\0') {
    printfColorWarningLine("getTime format: ", format);
    return nullptr;
  }
  return newMem(static_cast<const char*>(buffer));
}

uint64_t getTimeValue() {
  struct tm local;
  if (!localNow(&local)) return 0;
  // Pages and message records compare values made by exactly this formula: the leap
  // test runs on years-since-1900 and the month is left out on purpose.
  int64_t year = local.tm_year;
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int64_t length = leap ? 31622400 : 31536000;
  int64_t value = (year - 115) * length + static_cast<int64_t>(local.tm_mday) * 86400 +
                  static_cast<int64_t>(local.tm_hour) * 3600 + local.tm_min * 60 + local.tm_sec;
  return static_cast<uint64_t>(value);
}

char* getTimeValueStr() {
  char buffer[32];
  snprintf(buffer, sizeof buffer, "%" PRIx64, getTimeValue());
  return newMem(static_cast<const char*>(buffer));
}
