// Typed getters: lookup, decoding by the parameter's flags, conversion.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "diag/Console.h"
#include "map/Json.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

bool checkArgs(const HalvorantJsonMap* map, const char* key) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return false;
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return false;
  }
  return true;
}

char* lookup(const HalvorantJsonMap* map, const char* key) {
  HalvorantJsonUnit probe{};
  probe.key = const_cast<char*>(key);  // only read
  return BinarySearchHalvorantJsonMap(map, &probe, 0, halvorantUnitsInUse(map) - 1);
}

// Found and decoded value, or null when absent.
char* decoded(const HalvorantJsonMap* map, const char* key) {
  char* found = lookup(map, key);
  if (found == nullptr) return nullptr;
  char* text = fixParameter(map, key, found);
  freeTextWiped(found);
  return text;
}

// "true"/"false" in any case, else the leading decimal number (strtoll clamps overflow).
int64_t toLong(const char* text) {
  if (halvorantKeyEqual(text, "true")) return 1;
  if (halvorantKeyEqual(text, "false")) return 0;
  return std::strtoll(text, nullptr, 10);
}

}  // namespace

char* getHalvorantJsonCharType(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return nullptr;
  // A text value is decoded from where it is; a binary one (or a miss, which the lookup
  // reports) goes through the lookup's copy.
  const HalvorantJsonUnit* unit = halvorantFindUnit(map, key);
  char* text = nullptr;
  if (unit != nullptr && unit->value != nullptr) {
    text = fixParameter(map, key, unit->value);
  } else {
    char* found = lookup(map, key);
    if (found == nullptr) return nullptr;
    text = fixParameter(map, key, found);
    freeTextWiped(found);
  }
  if (text == nullptr) HALVORANT_MEMORY_FAIL();
  return text;
}

void readHalvorantJsonText(const HalvorantJsonMap* map, const char* key, char* buffer, uint32_t size) {
  if (buffer == nullptr || size == 0) return;
  std::memset(buffer, 0, size);
  if (!checkArgs(map, key)) return;
  // The usual case, a text without a decoding flag, is copied straight from the map.
  const char* plain = nullptr;
  if (peekHalvorantJsonText(map, key, &plain) && plain != nullptr) {
    copyBounded(buffer, size, plain);
    return;
  }
  char* text = getHalvorantJsonCharType(map, key);
  copyBounded(buffer, size, text);
  freeTextWiped(text);
}

bool peekHalvorantJsonText(const HalvorantJsonMap* map, const char* key, const char** text) {
  if (text != nullptr) *text = nullptr;
  if (map == nullptr || key == nullptr || text == nullptr) return false;
  const HalvorantJsonUnit* unit = halvorantFindUnit(map, key);
  if (unit == nullptr) return true;
  if (unit->value == nullptr || halvorantHasDecodingFlag(map, key)) return false;
  *text = unit->value;
  return true;
}

int64_t getHalvorantJsonLongType(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return 0;
  char* text = decoded(map, key);
  if (text == nullptr) return 0;
  const int64_t number = toLong(text);
  freeTextWiped(text);
  return number;
}

int32_t getHalvorantJsonIntType(const HalvorantJsonMap* map, const char* key) {
  const int64_t number = getHalvorantJsonLongType(map, key);
  // Clamped rather than truncated: an oversized number must not wrap to another value.
  if (number > INT32_MAX) return INT32_MAX;
  if (number < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(number);
}

float getHalvorantJsonFloatType(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return 0;
  char* text = decoded(map, key);
  if (text == nullptr) return 0;
  const float number = std::strtof(text, nullptr);  // 0 when no number starts the text
  freeTextWiped(text);
  return number;
}

double getHalvorantJsonDoubleType(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return 0;
  char* text = decoded(map, key);
  if (text == nullptr) return 0;
  const double number = std::strtod(text, nullptr);
  freeTextWiped(text);
  return number;
}

bool getHalvorantJsonBoolType(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return false;
  char* text = decoded(map, key);
  if (text == nullptr) return false;
  const bool flag = halvorantKeyEqual(text, "true");
  freeTextWiped(text);
  return flag;
}

bool hasHalvorantJsonKey(const HalvorantJsonMap* map, const char* key) {
  if (!checkArgs(map, key)) return false;
  char* found = lookup(map, key);
  if (found == nullptr) return false;
  freeTextWiped(found);
  return true;
}
