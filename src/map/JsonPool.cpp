// Map blocks: where every map lives, with the text area that holds its keys and values,
// and the few released blocks kept for the next request.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "diag/Console.h"
#include "map/JsonKey.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

#if defined(__SANITIZE_ADDRESS__)
#define NOX_MAP_POISON 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NOX_MAP_POISON 1
#endif
#endif
#ifdef NOX_MAP_POISON
#include <sanitizer/asan_interface.h>
#endif

namespace {

// Texts of a request or an answer of usual size fit; a larger one is allocated on its own.
constexpr size_t kTextArea = 2048;
// Blocks kept: a request map and an answer map per request in flight, with room to spare.
constexpr int kPoolSize = 8;

struct MapBlock {
  HalvorantJsonMap map;  // first: a map's address is its block's
  size_t textUsed;       // bytes of the text area handed out, all wiped on release
  char text[kTextArea];
};
static_assert(offsetof(MapBlock, map) == 0, "a map's address is its block's");

std::mutex g_poolLock;  // a leaf: nothing else is taken under it
MapBlock* g_pool[kPoolSize];
int g_pooled = 0;

MapBlock* blockOf(const HalvorantJsonMap* map) {
  return reinterpret_cast<MapBlock*>(const_cast<HalvorantJsonMap*>(map));
}

bool inTextArea(const MapBlock* block, const char* text) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(text);
  const uintptr_t start = reinterpret_cast<uintptr_t>(block->text);
  return at >= start && at < start + kTextArea;
}

// A kept block is poisoned under the address sanitizer, so a map used after its release
// is still reported as it would be after free.
void poison(MapBlock* block, bool on) {
#ifdef NOX_MAP_POISON
  if (on)
    ASAN_POISON_MEMORY_REGION(block, sizeof *block);
  else
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof *block);
#else
  (void)block;
  (void)on;
#endif
}

MapBlock* takeKept() {
  std::lock_guard<std::mutex> guard(g_poolLock);
  if (g_pooled == 0) return nullptr;
  MapBlock* block = g_pool[--g_pooled];
  poison(block, false);
  return block;
}

bool keep(MapBlock* block) {
  std::lock_guard<std::mutex> guard(g_poolLock);
  if (g_pooled == kPoolSize) return false;
  poison(block, true);
  g_pool[g_pooled++] = block;
  return true;
}

}  // namespace

HalvorantJsonMap* newHalvorantJsonMap() {
  // A kept block counts as one allocation for the failure seam, as a new one does.
  if (!allocationSeamPasses()) return nullptr;
  MapBlock* block = takeKept();
  if (block == nullptr) block = static_cast<MapBlock*>(calloc(1, sizeof(MapBlock)));
  if (block == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  return &block->map;
}

void freeHalvorantJsonMap(HalvorantJsonMap* map) {
  if (map == nullptr) return;
  // Units past count are zero unless an outside writer broke the count: only then is the
  // whole block wiped and let go instead of kept.
  const bool whole = map->count >= 0 && map->count <= HALVORANT_JSON_MAP_UNITS;
  const int32_t inUse = halvorantUnitsInUse(map);
  for (int32_t i = 0; i < inUse; ++i) {
    HalvorantJsonUnit& unit = map->units[i];
    halvorantReleaseText(map, unit.key);
    halvorantReleaseText(map, unit.value);
    freeWiped(unit.data, unit.dataLength);
    unit = HalvorantJsonUnit{};
  }
  halvorantReleaseText(map, map->jsonText);
  map->jsonText = nullptr;
  map->count = 0;
  MapBlock* block = blockOf(map);
  // Only the used part of the text area: the rest was never written.
  wipeMemory(block->text, block->textUsed);
  block->textUsed = 0;
  if (whole && keep(block)) return;
  if (!whole) wipeMemory(block, sizeof *block);
  freeMem(block);
}

char* halvorantMapText(HalvorantJsonMap* map, const char* text, size_t length) {
  MapBlock* block = blockOf(map);
  char* copy = nullptr;
  if (length < kTextArea - block->textUsed) {  // the text and its NUL
    copy = block->text + block->textUsed;
    block->textUsed += length + 1;
  } else {
    copy = static_cast<char*>(newMemSize(static_cast<uint64_t>(length) + 1));
    if (copy == nullptr) {
      // newMemSize refuses 2^31 bytes and more silently; a refused copy is a failed one.
      if (length + 1 >= (size_t{1} << 31)) HALVORANT_MEMORY_FAIL();
      return nullptr;
    }
  }
  if (length > 0) std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void halvorantReleaseText(HalvorantJsonMap* map, char* text) {
  if (text == nullptr) return;
  if (inTextArea(blockOf(map), text))
    wipeMemory(text, std::strlen(text));  // its room comes back when the map is released
  else
    freeTextWiped(text);
}
