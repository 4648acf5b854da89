#if defined(__APPLE__)
#define __STDC_WANT_LIB_EXT1__ 1
#endif
#include "platform/Wipe.h"

#include <cstdlib>
#include <cstring>
#include <string.h>

void wipeMemory(void* memory, size_t size) {
  if (memory == nullptr || size == 0) return;
#if defined(__APPLE__)
  memset_s(memory, size, 0, size);
#else
  explicit_bzero(memory, size);
#endif
}

void freeWiped(void* memory, size_t size) {
  if (memory == nullptr) return;
  wipeMemory(memory, size);
  free(memory);
}

void freeTextWiped(char* text) {
  if (text == nullptr) return;
  freeWiped(text, strlen(text));
}

namespace {

// Vector registers keep the last values a vectorised loop computed (hex decoding leaves
// key bytes there) until something overwrites them; meanwhile any full register save
// puts them on the stack, the dynamic linker's lazy binding for one. vzeroall clears
// the whole of ymm0-15 where AVX exists; pxor the xmm part otherwise.
void wipeVectorRegisters() {
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx")) {
    __asm__ __volatile__("vzeroall" ::: "memory");
    return;
  }
  __asm__ __volatile__(
      "pxor %%xmm0, %%xmm0\n\tpxor %%xmm1, %%xmm1\n\tpxor %%xmm2, %%xmm2\n\tpxor %%xmm3, %%xmm3\n\t"
      "pxor %%xmm4, %%xmm4\n\tpxor %%xmm5, %%xmm5\n\tpxor %%xmm6, %%xmm6\n\tpxor %%xmm7, %%xmm7\n\t"
      "pxor %%xmm8, %%xmm8\n\tpxor %%xmm9, %%xmm9\n\tpxor %%xmm10, %%xmm10\n\tpxor %%xmm11, %%xmm11\n\t"
      "pxor %%xmm12, %%xmm12\n\tpxor %%xmm13, %%xmm13\n\tpxor %%xmm14, %%xmm14\n\tpxor %%xmm15, %%xmm15"
      :
      :
      : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11",
        "xmm12", "xmm13", "xmm14", "xmm15", "memory");
#elif defined(__aarch64__)
  __asm__ __volatile__(
      "movi v0.16b, #0\n\tmovi v1.16b, #0\n\tmovi v2.16b, #0\n\tmovi v3.16b, #0\n\t"
      "movi v4.16b, #0\n\tmovi v5.16b, #0\n\tmovi v6.16b, #0\n\tmovi v7.16b, #0\n\t"
      "movi v16.16b, #0\n\tmovi v17.16b, #0\n\tmovi v18.16b, #0\n\tmovi v19.16b, #0\n\t"
      "movi v20.16b, #0\n\tmovi v21.16b, #0\n\tmovi v22.16b, #0\n\tmovi v23.16b, #0\n\t"
      "movi v24.16b, #0\n\tmovi v25.16b, #0\n\tmovi v26.16b, #0\n\tmovi v27.16b, #0\n\t"
      "movi v28.16b, #0\n\tmovi v29.16b, #0\n\tmovi v30.16b, #0\n\tmovi v31.16b, #0"
      :
      :
      : "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v16", "v17", "v18", "v19", "v20", "v21", "v22",
        "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30", "v31", "memory");
#endif
}

}  // namespace

// Not inlined, so its frame lies below the caller's, where the caller's callees ran. The
// buffer is as large as the deepest such chain; alloca keeps it a single run of stack.
__attribute__((noinline)) void wipeStackBelow(size_t bytes) {
  wipeVectorRegisters();
  if (bytes == 0) return;
  void* stack = __builtin_alloca(bytes);
  wipeMemory(stack, bytes);
  __asm__ __volatile__("" : : "r"(stack) : "memory");
  wipeVectorRegisters();  // the wipe's own stores may pass through them
}
