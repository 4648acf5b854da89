// Internal to src/map/: key comparison and unit helpers shared by its sources.
#pragma once
#include <cstdint>

#include "map/Json.h"

// Byte-wise comparison after folding 'A'-'Z' only (locale-independent); <0, 0, >0.
int halvorantKeyCompare(const char* a, const char* b);
inline bool halvorantKeyEqual(const char* a, const char* b) { return halvorantKeyCompare(a, b) == 0; }

// Units in use, whatever an outside writer left in count.
inline int32_t halvorantUnitsInUse(const HalvorantJsonMap* map) {
  if (map->count < 0) return 0;
  return map->count > HALVORANT_JSON_MAP_UNITS ? HALVORANT_JSON_MAP_UNITS : map->count;
}

// The unit BinarySearchHalvorantJsonMap takes its value from (over all units in use),
// or null; no copy and no missing-key report.
const HalvorantJsonUnit* halvorantFindUnit(const HalvorantJsonMap* map, const char* key);

// Sorts the units in use by key; equal keys keep their relative order.
void halvorantSortUnits(HalvorantJsonMap* map);

