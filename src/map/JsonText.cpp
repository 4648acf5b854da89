// JSON text of a parameter map: the request reader and the answer writer.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#define JSMN_STATIC
#include <jsmn.h>

#include "diag/Console.h"
#include "map/Json.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr unsigned kMaxTokens = 257;  // object + 128 pairs

// Copy of a token's text; an empty text gives "" (not null).
char* tokenText(const char* json, const jsmntok_t& token) {
  const int length = token.end > token.start ? token.end - token.start : 0;
  char* copy = static_cast<char*>(newMemSize(static_cast<uint64_t>(length) + 1));
  if (copy != nullptr && length > 0) std::memcpy(copy, json + token.start, static_cast<size_t>(length));
  return copy;
}

char* tokenValue(const char* json, const jsmntok_t& token) {
  char* raw = tokenText(json, token);
  // Without a backslash there is no escape to reverse.
  if (raw == nullptr || std::strchr(raw, '\\') == nullptr) return raw;
  char* value = Base64DecodeFix(raw);  // reverses \r \n \t \u000f \u000e \u001b \" only
  freeTextWiped(raw);
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
  const int n = jsmn_parse(&parser, json, std::strlen(json), tokens, kMaxTokens);
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
    char* key = tokenText(json, tokens[first]);
    char* value = key == nullptr ? nullptr : tokenValue(json, tokens[first + 1]);
    if (value == nullptr) {
      freeTextWiped(key);
      freeHalvorantJsonMap(map);
      return nullptr;
    }
    map->units[map->count] = HalvorantJsonUnit{key, value, nullptr, 0};
    map->count++;
  }
  halvorantSortUnits(map);
  map->jsonText = newMem(json);
  if (map->jsonText == nullptr) {
    freeHalvorantJsonMap(map);
    return nullptr;
  }
  return map;
}

namespace {

struct WipeFree {
  void operator()(char* text) const { freeTextWiped(text); }
};
using WipedText = std::unique_ptr<char, WipeFree>;

// The writer's body; may throw std::bad_alloc from the growing text.
char* writeMap(const HalvorantJsonMap* map, bool encode) {
  std::string text;
  const int32_t inUse = halvorantUnitsInUse(map);
  for (int32_t i = 0; i < inUse; ++i) {
    const HalvorantJsonUnit& unit = map->units[i];
    if (unit.value == nullptr || unit.key == nullptr) continue;
    // Base64 of "" is "": no encoder call, so no spurious failure.
    const WipedText value((encode && unit.value[0] != '\0') ? Base64Encode(unit.value) : newMem(unit.value));
    if (value == nullptr) {
      HALVORANT_MEMORY_FAIL();
      return nullptr;
    }
    text += text.empty() ? "{\"" : ", \"";
    text += unit.key;
    text += "\": \"";
    text += value.get();
    text += '"';
  }
  text += text.empty() ? "{}" : "}";
  char* result = newMem(text.c_str());
  std::fill(text.begin(), text.end(), '\0');  // answer texts are wiped before release
  return result;
}

}  // namespace

char* getHalvorantMapString(const HalvorantJsonMap* map, bool encode) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return nullptr;
  }
  try {
    return writeMap(map, encode);
  } catch (const std::bad_alloc&) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
}
