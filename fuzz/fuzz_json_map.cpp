// JSON text -> parameter map -> JSON text -> map, as a request and an answer travel.
//
// Checks on every map read: units sorted, keys present, every key found by the lookup.
// Checks on the answer form (Base64 values): when no key holds a quote or a backslash
// (keys are written unescaped), reading it back gives the same pairs and the values
// decode to the originals.
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "map/Json.h"
#include "util/Tool.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return text;
}

void checkMap(const HalvorantJsonMap* map) {
  FUZZ_CHECK(map->count >= 0 && map->count <= HALVORANT_JSON_MAP_UNITS);
  for (int32_t i = 0; i < map->count; ++i) {
    FUZZ_CHECK(map->units[i].key != nullptr);
    if (i > 0) FUZZ_CHECK(compareHalvorantJsonUnit(&map->units[i - 1], &map->units[i]) <= 0);
    FUZZ_CHECK(hasHalvorantJsonKey(map, map->units[i].key));
  }
}

// The pairs ordered by folded key, then value: duplicates may change places on a round trip.
Pairs pairsOf(const HalvorantJsonMap* map, bool decode) {
  Pairs pairs;
  for (int32_t i = 0; i < map->count; ++i) {
    const HalvorantJsonUnit& unit = map->units[i];
    std::string value = unit.value != nullptr ? unit.value : "";
    if (decode && unit.value != nullptr) {
      char* plain = Base64Decode(unit.value);
      FUZZ_CHECK(plain != nullptr);
      value = plain;
      freeMem(plain);
    }
    pairs.emplace_back(lower(unit.key), value);
  }
  std::sort(pairs.begin(), pairs.end());
  return pairs;
}

bool plainKeys(const HalvorantJsonMap* map) {
  for (int32_t i = 0; i < map->count; ++i)
    if (std::strpbrk(map->units[i].key, "\"\\") != nullptr) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const std::string json = input.rest();
  HalvorantJsonMap* map = getHalvorantJsonMap(json.c_str());
  if (map == nullptr) return 0;
  checkMap(map);

  char* plain = getHalvorantMapString(map, false);
  FUZZ_CHECK(plain != nullptr);
  if (HalvorantJsonMap* again = getHalvorantJsonMap(plain)) {
    checkMap(again);
    freeHalvorantJsonMap(again);
  }
  freeMem(plain);

  char* encoded = getHalvorantMapString(map, true);
  FUZZ_CHECK(encoded != nullptr);
  HalvorantJsonMap* back = getHalvorantJsonMap(encoded);
  if (map->count > 0 && plainKeys(map)) {
    FUZZ_CHECK(back != nullptr);
    checkMap(back);
    FUZZ_CHECK(pairsOf(back, true) == pairsOf(map, false));
  }
  freeHalvorantJsonMap(back);
  freeMem(encoded);
  freeHalvorantJsonMap(map);
  return 0;
}
