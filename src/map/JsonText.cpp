// JSON text of a parameter map: the request reader and the answer writer.
#include <cstring>

#define JSMN_STATIC
#include <jsmn.h>

#include "diag/Console.h"
#include "map/Json.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr unsigned kMaxTokens = 257;  // object + 128 pairs

// Copy of a token's text, in the map; an empty text gives "" (not null).
char* tokenText(HalvorantJsonMap* map, const char* json, const jsmntok_t& token) {
  const int length = token.end > token.start ? token.end - token.start : 0;
  return halvorantMapText(map, json + token.start, static_cast<size_t>(length));
}

char* tokenValue(HalvorantJsonMap* map, const char* json, const jsmntok_t& token) {
  char* raw = tokenText(map, json, token);
  // Without a backslash there is no escape to reverse.
  if (raw == nullptr || std::strchr(raw, '\\') == nullptr) return raw;
  char* value = Base64DecodeFix(raw);  // reverses \r \n \t \u000f \u000e \u001b \" only
  halvorantReleaseText(map, raw);
  return value;
}

}  // namespace

HalvorantJsonMap* getHalvorantJsonMap(const char* json) {
  if (json == nullptr) {
    HALVORANT_NULL_WARNING("inputJsonStr");
    return nullptr;
  }
  jsmn_parser parser;
  jsmntok_t tokens[kMaxTokens];
  jsmn_init(&parser);
  const size_t length = std::strlen(json);
  const int n = jsmn_parse(&parser, json, length, tokens, kMaxTokens);
  if (n < 2) {
    printfColorErrorLine("", "jsmn parse error");
    printfColorErrorLine("Error json: ", json);
    return nullptr;
  }
  HalvorantJsonMap* map = newHalvorantJsonMap();
  if (map == nullptr) return nullptr;  // newMemSize printed the allocation-failure lines

  // Pairs are taken from the end, so the text's last pair is stored first; token 0 is
  // the enclosing object.
  for (int first = n - 2; first >= 1; first -= 2) {
    if (tokens[first].end <= tokens[first].start) {
      // An empty key stops reading. Sorted all the same: lookups binary-search.
      HALVORANT_MEMORY_FAIL();
      halvorantSortUnits(map);
      return map;
    }
    if (map->count >= HALVORANT_JSON_MAP_UNITS) break;  // 257 tokens cannot get here
    char* key = tokenText(map, json, tokens[first]);
    char* value = key == nullptr ? nullptr : tokenValue(map, json, tokens[first + 1]);
    if (value == nullptr) {
      halvorantReleaseText(map, key);
      freeHalvorantJsonMap(map);
      return nullptr;
    }
    map->units[map->count] = HalvorantJsonUnit{key, value, nullptr, 0};
    map->count++;
  }
  halvorantSortUnits(map);
  map->jsonText = halvorantMapText(map, json, length);
  if (map->jsonText == nullptr) {
    freeHalvorantJsonMap(map);
    return nullptr;
  }
  return map;
}

namespace {

// Characters of a unit's value as written: its Base64 form with encode.
size_t writtenLength(const char* value, bool encode) {
  const size_t length = std::strlen(value);
  return encode ? (length + 2) / 3 * 4 : length;
}

}  // namespace

char* getHalvorantMapString(const HalvorantJsonMap* map, bool encode) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return nullptr;
  }
  // Measured first, then written once into a text of exactly that size.
  const int32_t inUse = halvorantUnitsInUse(map);
  uint64_t size = 3;  // "{}" or the closing "}", and the NUL
  for (int32_t i = 0; i < inUse; ++i) {
    const HalvorantJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) continue;
    size += 3 + std::strlen(unit.key) + 4 + writtenLength(unit.value, encode) + 1;  // , "key": "value"
  }
  char* text = static_cast<char*>(newMemSize(size));
  if (text == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  char* w = text;
  auto put = [&w](const char* part, size_t length) {
    std::memcpy(w, part, length);
    w += length;
  };
  for (int32_t i = 0; i < inUse; ++i) {
    const HalvorantJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) continue;
    if (w == text)
      put("{\"", 2);
    else
      put(", \"", 3);
    put(unit.key, std::strlen(unit.key));
    put("\": \"", 4);
    const size_t length = std::strlen(unit.value);
    if (encode)
      w += Base64EncodeInto(reinterpret_cast<const unsigned char*>(unit.value), length, w);
    else
      put(unit.value, length);
    put("\"", 1);
  }
  if (w == text)
    put("{}", 2);
  else
    put("}", 1);
  return text;  // NUL from the zero-filled allocation
}
