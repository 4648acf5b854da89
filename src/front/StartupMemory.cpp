// What start-up leaves resident but never uses again, handed back to the kernel.
#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

#include "front/Halvorant.h"

namespace {

// Deeper than any start-up call chain wipes below the main thread's frame (the listeners'
// credential handling wipes a quarter of a MiB of stack after itself).
constexpr uintptr_t kStartupStack = 1024 * 1024;

}  // namespace

__attribute__((noinline)) void releaseStartupMemory() {
  // Heap pages that start-up's transient buffers (credential texts, parsed certificates)
  // left free.
  malloc_trim(0);

  // The stack below this frame: start-up's deep calls are over and wiped their frames to
  // zeros, which stay resident until handed back. A page touched again comes back zeroed.
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  // The frame address is on the real stack even where a sanitizer moves locals elsewhere.
  const uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  uintptr_t top = (frame & ~(page - 1)) - 4 * page;  // room for the calls made from here on
  uintptr_t bottom = top > kStartupStack ? top - kStartupStack : 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* lowest = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &lowest, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!known) return;
  // Never past the stack's own mapping.
  const uintptr_t floor = (reinterpret_cast<uintptr_t>(lowest) + page - 1) & ~(page - 1);
  if (bottom < floor) bottom = floor;
  if (bottom < top) madvise(reinterpret_cast<void*>(bottom), top - bottom, MADV_DONTNEED);
}
