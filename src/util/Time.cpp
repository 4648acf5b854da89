// Local-time texts and the service's time value (the clock seam is in Base.cpp).
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "diag/Console.h"
#include "util/Tool.h"
#include "util/ToolDetail.h"

namespace {

bool localNow(struct tm* out) {
  time_t now = halvorantNow();
  return localtime_r(&now, out) != nullptr;
}

}  // namespace

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
