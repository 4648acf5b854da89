// The wipe primitive: memory zeroed, null ignored, and the stack below a caller cleared of
// what an earlier call chain left there.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/Wipe.h"

namespace {

TEST(Wipe, ZeroesAndIgnoresNull) {
  unsigned char bytes[40];
  memset(bytes, 0xA5, sizeof bytes);
  wipeMemory(bytes + 4, 32);
  for (size_t i = 0; i < sizeof bytes; ++i) EXPECT_EQ(bytes[i], (i >= 4 && i < 36) ? 0 : 0xA5) << i;
  wipeMemory(nullptr, 8);
  freeWiped(nullptr, 8);
  freeTextWiped(nullptr);
  freeWiped(calloc(1, 24), 24);  // released: a leak or double free shows under the sanitizers
  freeTextWiped(strdup("secret"));
}

// AddressSanitizer keeps locals in frames of its own, off the thread's stack, so the stack
// scan has nothing to see there: it is built without it (make test runs it).
#if !defined(__SANITIZE_ADDRESS__)
// A marker that exists nowhere but where markStack puts it: built at run time.
std::string marker() {
  std::string m(32, '\0');
  for (size_t i = 0; i < m.size(); ++i) m[i] = static_cast<char>(0x5A ^ (i * 37 + 11));
  return m;
}

// Leaves the marker in a local of a frame that has returned, as a decryption chain would,
// 16 KiB down: deeper than the scan's own calls reach, which would overwrite it.
__attribute__((noinline)) void markStack(const std::string& m) {
  volatile char local[32];
  for (size_t i = 0; i < sizeof local; ++i) local[i] = m[i];
  __asm__ __volatile__("" : : "r"(local) : "memory");
}
__attribute__((noinline)) void markDeep(const std::string& m) {
  volatile char padding[16 * 1024];
  padding[0] = 0;
  markStack(m);
  __asm__ __volatile__("" : : "r"(padding) : "memory");
}

// Where the marker occurs on the main thread's stack (this test runs there).
size_t onStack(const std::string& m) {
  std::ifstream maps("/proc/self/maps");
  int mem = open("/proc/self/mem", O_RDONLY);
  size_t found = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find("[stack]") == std::string::npos) continue;
    unsigned long start = std::stoul(line.substr(0, line.find('-')), nullptr, 16);
    unsigned long end = std::stoul(line.substr(line.find('-') + 1), nullptr, 16);
    std::string bytes(end - start, '\0');
    ssize_t n = pread(mem, &bytes[0], bytes.size(), static_cast<off_t>(start));
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (size_t at = bytes.find(m); at != std::string::npos; at = bytes.find(m, at + 1)) ++found;
  }
  close(mem);
  return found;
}

TEST(Wipe, StackBelowTheCallerIsCleared) {
  const std::string m = marker();
  markDeep(m);
  ASSERT_GT(onStack(m), 0u) << "the scan must see what the call left on the stack";
  markDeep(m);
  wipeStackBelow(64 * 1024);
  EXPECT_EQ(onStack(m), 0u);
}
#endif

}  // namespace
