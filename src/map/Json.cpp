// Parameter map: key order, lookup, insert/replace and release.
#include "map/Json.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

std::atomic<bool> CheckJson{false};
std::atomic<int32_t> ErrCode{0};

namespace {

unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c; }

// The report skips the service's own keys (flag keys, secret) and the toolbar's.
void reportMissing(const char* key) {
  if (!CheckJson.load()) return;
  if (std::strstr(key, "Halvorant") != nullptr || std::strstr(key, "topui") != nullptr) return;
  printfColorWarningLine("Json map key not found: ", key);
  ErrCode.store(HALVORANT_JSON_KEY_MISSING);
}

// newMemSize reports a failed allocation itself but refuses 2^31 bytes and more
// silently; a refused copy is still a failed one.
void* allocReported(uint64_t size) {
  void* memory = newMemSize(size);
  if (memory == nullptr && size >= (uint64_t{1} << 31)) HALVORANT_MEMORY_FAIL();
  return memory;
}

// Copy of the unit's value: text first, else the bytes plus a zero byte, else null.
char* copyUnitValue(const HalvorantJsonUnit* unit) {
  if (unit->value != nullptr) return newMem(unit->value);
  if (unit->data == nullptr) return nullptr;
  // One spare zero byte: callers treat every found value as text.
  char* copy = static_cast<char*>(allocReported(unit->dataLength + 1));
  if (copy != nullptr) std::memcpy(copy, unit->data, unit->dataLength);
  return copy;
}

// First unit at or before index whose key equals key (runs of equal keys occur only in
// maps read from JSON; the first of a run is the last occurrence in the text).
int32_t firstOfRun(const HalvorantJsonMap* map, int32_t index, const char* key) {
  while (index > 0 && map->units[index - 1].key != nullptr && halvorantKeyEqual(map->units[index - 1].key, key))
    --index;
  return index;
}

// Recursive binary search; index of the unit holding key, or -1.
int32_t searchRange(const HalvorantJsonMap* map, const char* key, int32_t low, int32_t high, int32_t inUse) {
  if (low > high) return -1;
  const int32_t mid = static_cast<int32_t>((static_cast<int64_t>(low) + high) >> 1);
  const char* unitKey = map->units[mid].key;
  const int order = unitKey == nullptr ? -1 : halvorantKeyCompare(unitKey, key);
  if (order == 0) return firstOfRun(map, mid, key);
  if (low >= high) return -1;
  if (order < 0) {
    if (mid + 1 >= inUse) return -1;
    return searchRange(map, key, mid + 1, high, inUse);
  }
  if (mid - 1 < 0) return -1;
  return searchRange(map, key, low, mid - 1, inUse);
}

int32_t findIndex(const HalvorantJsonMap* map, const char* key) {
  const int32_t inUse = halvorantUnitsInUse(map);
  for (int32_t i = 0; i < inUse; ++i)
    if (map->units[i].key != nullptr && halvorantKeyEqual(map->units[i].key, key)) return i;
  return -1;
}

}  // namespace

int halvorantKeyCompare(const char* a, const char* b) {
  const unsigned char* x = reinterpret_cast<const unsigned char*>(a);
  const unsigned char* y = reinterpret_cast<const unsigned char*>(b);
  for (;; ++x, ++y) {
    const unsigned char cx = fold(*x);
    const unsigned char cy = fold(*y);
    if (cx != cy) return cx < cy ? -1 : 1;
    if (cx == 0) return 0;
  }
}

const HalvorantJsonUnit* halvorantFindUnit(const HalvorantJsonMap* map, const char* key) {
  if (map == nullptr || key == nullptr) return nullptr;
  const int32_t inUse = halvorantUnitsInUse(map);
  const int32_t index = searchRange(map, key, 0, inUse - 1, inUse);
  return index < 0 ? nullptr : &map->units[index];
}

namespace {

bool unitBefore(const HalvorantJsonUnit& a, const HalvorantJsonUnit& b) { return compareHalvorantJsonUnit(&a, &b) < 0; }

// Moves the unit at index to its place among the sorted units before it, after those that
// do not order after it.
void placeUnit(HalvorantJsonMap* map, int32_t index) {
  HalvorantJsonUnit* units = map->units;
  const HalvorantJsonUnit unit = units[index];
  HalvorantJsonUnit* at = std::upper_bound(units, units + index, unit, unitBefore);
  std::memmove(at + 1, at, static_cast<size_t>(units + index - at) * sizeof(HalvorantJsonUnit));
  *at = unit;
}

}  // namespace

// Insertion sort: no allocation, stable, and at most 128 units.
void halvorantSortUnits(HalvorantJsonMap* map) {
  const int32_t inUse = halvorantUnitsInUse(map);
  for (int32_t i = 1; i < inUse; ++i) placeUnit(map, i);
}

void halvorantInsertUnit(HalvorantJsonMap* map, const HalvorantJsonUnit& unit) {
  const int32_t inUse = halvorantUnitsInUse(map);
  map->units[inUse] = unit;
  map->count = inUse + 1;
  placeUnit(map, inUse);
}

void setJsonCheck(bool flag) {
  CheckJson.store(flag);
  if (flag) ErrCode.store(0);
}

int32_t getJsonErrorCode() { return ErrCode.load(); }

int compareHalvorantJsonUnit(const void* inputA, const void* inputB) {
  if (inputA == nullptr) {
    HALVORANT_NULL_WARNING("inputA");
    return 100;
  }
  if (inputB == nullptr) {
    HALVORANT_NULL_WARNING("inputB");
    return 100;
  }
  // A unit without a key (never in use) orders as the empty key.
  const char* a = static_cast<const HalvorantJsonUnit*>(inputA)->key;
  const char* b = static_cast<const HalvorantJsonUnit*>(inputB)->key;
  return halvorantKeyCompare(a == nullptr ? "" : a, b == nullptr ? "" : b);
}

int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, const char* value) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return HALVORANT_MAP_NULL_ARG;
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("Key");
    return HALVORANT_MAP_NULL_ARG;
  }
  const int32_t found = findIndex(map, key);
  if (found >= 0) {
    HalvorantJsonUnit& unit = map->units[found];
    halvorantReleaseText(map, unit.value);
    unit.value = halvorantMapText(map, value);
    return (value != nullptr && unit.value == nullptr) ? HALVORANT_MAP_NO_MEMORY : HALVORANT_MAP_OK;
  }
  if (halvorantUnitsInUse(map) >= HALVORANT_JSON_MAP_UNITS) return HALVORANT_MAP_FULL;
  char* keyCopy = halvorantMapText(map, key);
  char* valueCopy = keyCopy == nullptr ? nullptr : halvorantMapText(map, value);
  if (keyCopy == nullptr || (value != nullptr && valueCopy == nullptr)) {
    halvorantReleaseText(map, keyCopy);
    return HALVORANT_MAP_NO_MEMORY;
  }
  halvorantInsertUnit(map, HalvorantJsonUnit{keyCopy, valueCopy, nullptr, 0});
  return HALVORANT_MAP_OK;
}

int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, int32_t number) {
  char text[64];
  std::snprintf(text, sizeof(text), "%d", number);
  return addHalvorantJsonMapUnit(map, key, text);
}

int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, const unsigned char* bytes,
                                uint64_t length) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return HALVORANT_MAP_NULL_ARG;
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("Key");
    return HALVORANT_MAP_NULL_ARG;
  }
  if (length == 0) return HALVORANT_MAP_OK;
  if (bytes == nullptr) {
    HALVORANT_NULL_WARNING("Data");
    return HALVORANT_MAP_NULL_ARG;
  }
  const int32_t found = findIndex(map, key);
  if (found < 0 && halvorantUnitsInUse(map) >= HALVORANT_JSON_MAP_UNITS) return HALVORANT_MAP_FULL;
  unsigned char* copy = static_cast<unsigned char*>(allocReported(length));
  if (copy != nullptr) std::memcpy(copy, bytes, length);
  if (found >= 0) {
    HalvorantJsonUnit& unit = map->units[found];
    freeWiped(unit.data, unit.dataLength);
    unit.data = copy;
    unit.dataLength = copy == nullptr ? 0 : length;
    return copy == nullptr ? HALVORANT_MAP_NO_MEMORY : HALVORANT_MAP_OK;
  }
  char* keyCopy = copy == nullptr ? nullptr : halvorantMapText(map, key);
  if (keyCopy == nullptr) {
    freeWiped(copy, length);
    return HALVORANT_MAP_NO_MEMORY;
  }
  halvorantInsertUnit(map, HalvorantJsonUnit{keyCopy, nullptr, copy, length});
  return HALVORANT_MAP_OK;
}

char* BinarySearchHalvorantJsonMap(const HalvorantJsonMap* map, const HalvorantJsonUnit* probe, int32_t low,
                                   int32_t high) {
  if (map == nullptr) {
    HALVORANT_NULL_WARNING("inputHalvorantJson");
    return nullptr;
  }
  if (probe == nullptr || probe->key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return nullptr;
  }
  const int32_t inUse = halvorantUnitsInUse(map);
  const int32_t index = searchRange(map, probe->key, std::max(low, 0), std::min(high, inUse - 1), inUse);
  if (index < 0) {
    reportMissing(probe->key);
    return nullptr;
  }
  return copyUnitValue(&map->units[index]);
}
