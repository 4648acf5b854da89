/* Compiled as C: an adapter's view of a map the service built, through the adapter
 * header alone. Defines both entry points the way an adapter does. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "HalvorantAdapter.h"

_Static_assert(sizeof(HalvorantJsonUnit) == 32, "unit size");
_Static_assert(offsetof(HalvorantJsonUnit, key) == 0, "key offset");
_Static_assert(offsetof(HalvorantJsonUnit, value) == 8, "value offset");
_Static_assert(offsetof(HalvorantJsonUnit, data) == 16, "data offset");
_Static_assert(offsetof(HalvorantJsonUnit, dataLength) == 24, "dataLength offset");
_Static_assert(offsetof(HalvorantJsonMap, units) == 0, "units offset");
_Static_assert(offsetof(HalvorantJsonMap, jsonText) == 4096, "jsonText offset");
_Static_assert(offsetof(HalvorantJsonMap, count) == 4104, "count offset");
_Static_assert(sizeof(HalvorantJsonMap) == 4112, "map size");

static char walkText[8192];

/* "<functionName>|key=value|key=#<bytes as hex>|...|json=<jsonText or ->" */
const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  size_t used = 0;
  int32_t i;
  uint64_t b;
  if (map == NULL || functionName == NULL) return "";
  used += (size_t)snprintf(walkText + used, sizeof walkText - used, "%s", functionName);
  for (i = 0; i < map->count && i < HALVORANT_JSON_MAP_UNITS && used < sizeof walkText; ++i) {
    const HalvorantJsonUnit* unit = &map->units[i];
    if (unit->value != NULL) {
      used += (size_t)snprintf(walkText + used, sizeof walkText - used, "|%s=%s", unit->key, unit->value);
    } else {
      used += (size_t)snprintf(walkText + used, sizeof walkText - used, "|%s=#", unit->key);
      for (b = 0; b < unit->dataLength && used < sizeof walkText; ++b)
        used += (size_t)snprintf(walkText + used, sizeof walkText - used, "%02x", unit->data[b]);
    }
  }
  if (used < sizeof walkText)
    snprintf(walkText + used, sizeof walkText - used, "|json=%s", map->jsonText != NULL ? map->jsonText : "-");
  return walkText;
}

const char* callMethod(const char* json) {
  snprintf(walkText, sizeof walkText, "callMethod:%s", json != NULL ? json : "-");
  return walkText;
}

/* The units past count must be zero: an adapter can rely on it. */
int layoutUnusedUnitsAreZero(const HalvorantJsonMap* map) {
  static const HalvorantJsonUnit zero;
  int32_t i;
  for (i = map->count; i < HALVORANT_JSON_MAP_UNITS; ++i)
    if (memcmp(&map->units[i], &zero, sizeof zero) != 0) return 0;
  return 1;
}
