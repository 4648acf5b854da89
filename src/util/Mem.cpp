// Memory and string helpers.
#include "util/Tool.h"

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/Console.h"
#include "platform/Wipe.h"
#include "util/ResultCodes.h"

thread_local int32_t LastErrorCode = 0;

namespace {

constexpr uint64_t kMaxAlloc = 2147483648ULL;  // 2^31: larger requests are refused
constexpr int32_t kNullText = kResult_NULL_TEXT;
constexpr int32_t kNotNumber = kResult_NOT_A_NUMBER;

char* copyBytes(const char* text, size_t length) {
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(length) + 1));
  if (out == nullptr) return nullptr;
  if (length > 0) memcpy(out, text, length);
  return out;
}

std::atomic<uint64_t> failCountdown{0};
std::atomic<uint64_t> sizedCalls{0};

// True for exactly the call the countdown reaches, whichever thread makes it.
bool failThisAllocation() {
  uint64_t left = failCountdown.load(std::memory_order_relaxed);
  while (left != 0)
    if (failCountdown.compare_exchange_weak(left, left - 1)) return left == 1;
  return false;
}

}  // namespace

void setAllocationFailure(uint64_t nth) { failCountdown.store(nth); }
uint64_t newMemSizeCalls() { return sizedCalls.load(); }

bool allocationSeamPasses() {
  sizedCalls.fetch_add(1, std::memory_order_relaxed);
  if (!failThisAllocation()) return true;
  HALVORANT_MEMORY_FAIL();
  return false;
}

void* newMemSize(uint64_t size) {
  if (size == 0 || size >= kMaxAlloc) return nullptr;
  sizedCalls.fetch_add(1, std::memory_order_relaxed);
  void* memory = failThisAllocation() ? nullptr : calloc(1, static_cast<size_t>(size));
  if (memory == nullptr) HALVORANT_MEMORY_FAIL();
  return memory;
}

void freeMem(void* memory) { free(memory); }

char* newMem(const char* text) {
  if (text == nullptr) return nullptr;
  return copyBytes(text, strlen(text));
}

char* newMem(bool flag) { return newMem(flag ? "true" : "false"); }

char* newMem(int32_t number) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%d", number);
  return newMem(static_cast<const char*>(buffer));
}

char* newMem(int64_t number) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%" PRId64, number);
  return newMem(static_cast<const char*>(buffer));
}

char* newMem(double number) {
  // "%f" of a huge double can need over 300 characters: measure first.
  int length = snprintf(nullptr, 0, "%f", number);
  if (length < 0) return nullptr;
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(length) + 1));
  if (out == nullptr) return nullptr;
  snprintf(out, static_cast<size_t>(length) + 1, "%f", number);
  return out;
}

char* newMem(float number) { return newMem(static_cast<double>(number)); }

void ArrayCopy(char* destination, uint32_t size, const char* source) {
  if (destination == nullptr) {
    HALVORANT_NULL_WARNING("destination");
    return;
  }
  copyBounded(destination, size, source);
}

void ArrayCopyFree(char* destination, uint32_t size, char* source) {
  ArrayCopy(destination, size, source);
  freeTextWiped(source);
}

void StringAppend(char* destination, uint32_t size, const char* source) {
  if (destination == nullptr) {
    HALVORANT_NULL_WARNING("destination");
    return;
  }
  appendBounded(destination, size, source);
}

char* replace(const char* text, const char* pattern, const char* replacement) {
  if (text == nullptr) return nullptr;
  if (pattern == nullptr) {
    HALVORANT_NULL_WARNING("pattern");
    return nullptr;
  }
  if (replacement == nullptr) replacement = "";
  size_t patternLength = strlen(pattern);
  size_t textLength = strlen(text);
  if (patternLength == 0) return copyBytes(text, textLength);  // nothing to match
  size_t replacementLength = strlen(replacement);

  uint64_t count = 0;
  for (const char* p = strstr(text, pattern); p != nullptr; p = strstr(p + patternLength, pattern)) ++count;

  uint64_t size = textLength - count * patternLength + count * replacementLength + 1;
  char* out = static_cast<char*>(newMemSize(size));
  if (out == nullptr) return nullptr;
  char* w = out;
  const char* r = text;
  for (const char* p = strstr(r, pattern); p != nullptr; p = strstr(r, pattern)) {
    memcpy(w, r, static_cast<size_t>(p - r));
    w += p - r;
    memcpy(w, replacement, replacementLength);
    w += replacementLength;
    r = p + patternLength;
  }
  memcpy(w, r, strlen(r));
  return out;
}

char* getRangeValue(const char* text, int64_t start, int64_t end) {
  if (text == nullptr || end <= start || start < 0) return nullptr;
  // Offsets past the end are cut to the text, so no read goes beyond its NUL.
  int64_t length = static_cast<int64_t>(strlen(text));
  if (start > length) return nullptr;
  if (end > length) end = length;
  return copyBytes(text + start, static_cast<size_t>(end - start));
}

char** getSubStringList(const char* text, const char* delimiter) {
  bool split = !checkNoValue(text) && !checkNoValue(delimiter);
  size_t delimiterLength = split ? strlen(delimiter) : 0;
  uint64_t pieces = 0;
  if (split) {
    pieces = 1;
    for (const char* p = strstr(text, delimiter); p != nullptr; p = strstr(p + delimiterLength, delimiter)) ++pieces;
  }
  char** list = static_cast<char**>(newMemSize((pieces + 1) * sizeof(char*)));
  if (list == nullptr) return nullptr;  // newMemSize has reported it
  if (!split) return list;
  const char* r = text;
  for (uint64_t i = 0; i < pieces; ++i) {
    const char* p = strstr(r, delimiter);
    size_t length = p != nullptr ? static_cast<size_t>(p - r) : strlen(r);
    list[i] = copyBytes(r, length);
    if (list[i] == nullptr) {
      freeSubStringList(list);
      return nullptr;
    }
    r = p != nullptr ? p + delimiterLength : r + length;
  }
  return list;
}

void freeSubStringList(char** list) {
  if (list == nullptr) return;
  for (char** p = list; *p != nullptr; ++p) freeMem(*p);
  freeMem(list);
}

bool startsWith(const char* prefix, const char* text) {
  if (prefix == nullptr) return true;
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("inputMainString");
    return false;
  }
  return strncmp(prefix, text, strlen(prefix)) == 0;
}

bool endsWith(const char* suffix, const char* text) {
  if (suffix == nullptr) return true;
  if (text == nullptr) return false;
  size_t suffixLength = strlen(suffix);
  size_t textLength = strlen(text);
  return suffixLength <= textLength && memcmp(text + textLength - suffixLength, suffix, suffixLength) == 0;
}

char* UpToLow(const char* text) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("input");
    return nullptr;
  }
  char* out = newMem(text);
  if (out == nullptr) return nullptr;
  for (char* p = out; *p; ++p)
    if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
  return out;
}

char* PaddingWith(const char* text, int width, char fill) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("MainText");
    return nullptr;
  }
  size_t length = strlen(text);
  // A text already at or over the width, or a NUL fill, is returned as it is.
  if (fill == '\0' || width <= 0 || length >= static_cast<size_t>(width)) return copyBytes(text, length);
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(width) + 1));
  if (out == nullptr) return nullptr;
  size_t pad = static_cast<size_t>(width) - length;
  memset(out, fill, pad);
  memcpy(out + pad, text, length);
  return out;
}

char* PaddingWith(int32_t number, int width, char fill) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%d", number);
  return PaddingWith(static_cast<const char*>(buffer), width, fill);
}

int64_t charToLong(const char* text) { return charToLong(text, false); }

int64_t charToLong(const char* text, bool strict) {
  LastErrorCode = 0;
  if (text == nullptr) {
    LastErrorCode = kNullText;
    return 0;
  }
  if (strict) {
    for (const char* p = text; *p; ++p) {
      bool digit = *p >= '0' && *p <= '9';
      if (!digit && !(p == text && *p == '-')) {
        LastErrorCode = kNotNumber;
        return 0;
      }
    }
  }
  return charToLong(text, 10);
}

int64_t charToLong(const char* text, int base) {
  LastErrorCode = 0;
  if (text == nullptr) {
    LastErrorCode = kNullText;
    return 0;
  }
  if (base != 0 && (base < 2 || base > 36)) {
    LastErrorCode = kNotNumber;
    return 0;
  }
  char* end = nullptr;
  errno = 0;
  long long value = strtoll(text, &end, base);
  if (end == text || errno == ERANGE) {
    LastErrorCode = kNotNumber;
    return 0;
  }
  return static_cast<int64_t>(value);
}

int32_t lastErrorCode() { return LastErrorCode; }
bool isCharToLongError() { return LastErrorCode == kNullText || LastErrorCode == kNotNumber; }

bool checkNoValue(const char* text) { return text == nullptr || text[0] == '\0'; }
