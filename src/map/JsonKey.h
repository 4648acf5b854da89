// Internal to src/map/: key comparison and unit helpers shared by its sources.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

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

// True when one of the flags fixParameter decodes by is set for key.
bool halvorantHasDecodingFlag(const HalvorantJsonMap* map, const char* key);

// Sorts the units in use by key; equal keys keep their relative order.
void halvorantSortUnits(HalvorantJsonMap* map);


// ---- Map blocks (JsonPool.cpp) ------------------------------------------------------------
// Every map lives in a block from newHalvorantJsonMap: the map, then a text area that holds
// the keys and values written into the map (and its jsonText) while they fit, so a request
// or answer of usual size costs no allocation per unit. The functions below take only maps
// from newHalvorantJsonMap (getHalvorantJsonMap makes its maps there too).

// Copy of length bytes of text and a NUL, in the map's text area when it fits, else in an
// allocation of its own; null (allocation-failure lines printed) when that fails.
char* halvorantMapText(HalvorantJsonMap* map, const char* text, size_t length);
inline char* halvorantMapText(HalvorantJsonMap* map, const char* text) {
  return text == nullptr ? nullptr : halvorantMapText(map, text, std::strlen(text));
}
// Releases a text of the map, wiped first: in place in the text area, else freed. Null ignored.
void halvorantReleaseText(HalvorantJsonMap* map, char* text);

// Puts unit into the sorted units in use after every unit whose key does not order after
// its key (so equal keys keep their order); count grows by one. The caller checks room.
void halvorantInsertUnit(HalvorantJsonMap* map, const HalvorantJsonUnit& unit);
