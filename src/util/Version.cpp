// Dotted version comparison and the build-stamped version text.
#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "util/Tool.h"
#include "util/ToolDetail.h"
#include "util/ResultCodes.h"

namespace {

constexpr int32_t kEqual = 0, kGreater = 1, kSmaller = -1, kTextDiffers = 2, kCountDiffers = 3;
constexpr int32_t kEmptyComponent = kResult_MISSING_PARAMETER, kBadArgument = kResult_UNAVAILABLE;

// Blanks removed, '.' and ',' both separate components; empty pieces are kept.
char** versionComponents(const char* version) {
  char buffer[512];
  ArrayCopy(buffer, sizeof buffer, version);
  char* w = buffer;
  for (const char* r = buffer; *r; ++r) {
    if (*r == ' ') continue;
    *w++ = *r == '.' ? ',' : *r;
  }
  *w = '\0';
  return getSubStringList(buffer, ",");
}

size_t countOf(char** list) {
  size_t n = 0;
  while (list[n] != nullptr) ++n;
  return n;
}

void warnStringCompare(const char* a, const char* b) {
  printfColorWarningLine("Version check: ", "String compare mode");
  printfColorWarningLine(" - Version A: ", a);
  printfColorWarningLine(" - Version B: ", b);
}

int32_t compareComponents(char** a, char** b) {
  size_t count = countOf(a);
  if (count != countOf(b)) return kCountDiffers;
  for (size_t i = 0; i < count; ++i)
    if (a[i][0] == '\0' || b[i][0] == '\0') return kEmptyComponent;
  for (size_t i = 0; i < count; ++i) {
    int64_t numberA = charToLong(a[i], true);
    if (isCharToLongError()) {
      warnStringCompare(a[i], b[i]);
      if (strcmp(a[i], b[i]) == 0) continue;
      return kTextDiffers;
    }
    int64_t numberB = charToLong(b[i], true);
    if (isCharToLongError()) {
      warnStringCompare(a[i], b[i]);
      return kTextDiffers;
    }
    if (numberA < numberB) return kSmaller;
    if (numberA > numberB) return kGreater;
  }
  return kEqual;
}

}  // namespace

int32_t checkVersion(const char* versionA, const char* versionB) {
  if (versionA == nullptr) {
    HALVORANT_NULL_WARNING("inputVersionA");
    return kBadArgument;
  }
  if (versionB == nullptr) {
    HALVORANT_NULL_WARNING("inputVersionB");
    return kBadArgument;
  }
  char** a = versionComponents(versionA);
  char** b = versionComponents(versionB);
  int32_t code = kBadArgument;
  if (a == nullptr || b == nullptr)
    HALVORANT_MEMORY_FAIL();
  else
    code = compareComponents(a, b);
  freeSubStringList(a);
  freeSubStringList(b);
  return code;
}

char* buildVersionStamp(const char* baseVersion, const char* buildDate) {
  if (baseVersion == nullptr || buildDate == nullptr || strlen(buildDate) != 11) return nullptr;
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  int month = 0;
  for (int m = 0; m < 12; ++m)
    if (strncmp(buildDate, kMonths + 3 * m, 3) == 0) month = m + 1;
  if (month == 0) return nullptr;
  // The compiler pads a one-digit day with a blank; a version wants a zero there.
  char day0 = buildDate[4] == ' ' ? '0' : buildDate[4];
  char out[512];
  snprintf(out, sizeof out, "%s.%c%c.%c%c%c%c", baseVersion, buildDate[9], buildDate[10],
           static_cast<char>('0' + month / 10), static_cast<char>('0' + month % 10), day0, buildDate[5]);
  return newMem(static_cast<const char*>(out));
}

char* getDynamicVersion(const char* baseVersion) {
  if (baseVersion == nullptr) {
    HALVORANT_NULL_WARNING("baseVersion");
    return nullptr;
  }
  return buildVersionStamp(baseVersion, __DATE__);
}
