// Shared pieces of the fuzz targets: quiet console, input splitting, checks that abort.
//
// Every target is a libFuzzer entry point over our own code, in-process. Console lines go
// to /dev/null (the service prints one per step; the fuzzer's own output is on stderr). A
// failed property check aborts, which libFuzzer records as a crash with its input.
#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Sends standard output to /dev/null for the whole run.
inline void quietConsole() {
  std::fflush(stdout);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    dup2(null, STDOUT_FILENO);
    close(null);
  }
}

// A property that must hold; prints the reason on stderr and aborts.
#define FUZZ_CHECK(condition)                                                        \
  do {                                                                               \
    if (!(condition)) {                                                              \
      std::fprintf(stderr, "fuzz check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

// Reads the input front to back: single bytes, and NUL-free texts cut at a separator.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t left() const { return size_ - at_; }

  uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  // Text up to (not including) the next separator byte, or the rest; NUL bytes become
  // 0x01 so the texts stay whole when passed as C strings.
  std::string until(char separator) {
    std::string out;
    while (at_ < size_) {
      char c = static_cast<char>(data_[at_++]);
      if (c == separator) break;
      out += c == '\0' ? '\x01' : c;
    }
    return out;
  }
  std::string rest() {
    std::string out = bytes(left());
    for (char& c : out)
      if (c == '\0') c = '\x01';
    return out;
  }

  // The next count bytes (fewer at the end), unchanged.
  std::string bytes(size_t count) {
    size_t n = count < left() ? count : left();
    std::string out(reinterpret_cast<const char*>(data_ + at_), n);
    at_ += n;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz
