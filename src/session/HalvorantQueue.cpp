// Age queue: stamps from one counter that only grows, so the smallest is the oldest.
#include "session/HalvorantQueue.h"

#include <cstdint>

namespace {

constexpr int kSlots = 32;
constexpr uint64_t kNotQueued = UINT64_MAX;

uint64_t Queue[kSlots];
uint64_t Age = 0;

bool validIndex(int index) { return index >= 0 && index < kSlots; }

}  // namespace

namespace {
// Empty also before start-up calls HalvorantQueue_initQueue.
struct EmptyAtLoad {
  EmptyAtLoad() { HalvorantQueue_initQueue(); }
} g_emptyAtLoad;
}  // namespace

void HalvorantQueue_initQueue() {
  for (uint64_t& stamp : Queue) stamp = kNotQueued;
}

bool HalvorantQueue_setQueue(int index) {
  if (!validIndex(index)) return false;
  Queue[index] = Age++;
  return true;
}

int HalvorantQueue_getQueue() {
  static const bool kAll[kSlots] = {true, true, true, true, true, true, true, true, true, true, true,
                                    true, true, true, true, true, true, true, true, true, true, true,
                                    true, true, true, true, true, true, true, true, true, true};
  return HalvorantQueue_getQueueAmong(kAll);
}

int HalvorantQueue_getQueueAmong(const bool candidate[kSlots]) {
  if (candidate == nullptr) return -1;
  int oldest = -1;
  for (int i = 0; i < kSlots; ++i) {
    if (Queue[i] == kNotQueued || !candidate[i]) continue;
    if (oldest < 0 || Queue[i] < Queue[oldest]) oldest = i;
  }
  return oldest;
}

void HalvorantQueue_removeQueue(int index) {
  if (validIndex(index)) Queue[index] = kNotQueued;
}
