// Base64 and hexadecimal: decoding arbitrary text, and encode -> decode round trips of
// arbitrary bytes.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "util/Tool.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Arbitrary bytes as text: the decoders take whatever a page sends.
  const std::string text = fuzz::Input(data, size).rest();
  char* decoded = Base64Decode(text.c_str());
  FUZZ_CHECK(decoded != nullptr);
  // At most three bytes per four characters (escapes like "%2B" only shorten the text).
  FUZZ_CHECK(std::strlen(decoded) <= text.size() / 4 * 3 + 2);
  FUZZ_CHECK(Base64decode_len(text.c_str()) >= 1);
  freeMem(decoded);
  char* fixed = Base64DecodeFix(text.c_str());
  FUZZ_CHECK(fixed != nullptr && std::strlen(fixed) <= text.size());
  freeMem(fixed);
  unsigned char* hex = HexDecode(text.c_str());
  FUZZ_CHECK(hex != nullptr);
  freeMem(hex);

  // Round trips over the raw bytes, NULs included.
  char* b64 = Base64EncodeBytes(data, size);
  FUZZ_CHECK(b64 != nullptr);
  FUZZ_CHECK(std::strlen(b64) + 1 == static_cast<size_t>(Base64encode_len(static_cast<int>(size))));
  unsigned char* back = reinterpret_cast<unsigned char*>(Base64Decode(b64));
  FUZZ_CHECK(back != nullptr);
  FUZZ_CHECK(size == 0 || std::memcmp(back, data, size) == 0);
  FUZZ_CHECK(back[size] == 0);
  freeMem(back);
  freeMem(b64);

  char* hexText = HexEncode(data, static_cast<int>(size));
  FUZZ_CHECK(hexText != nullptr && std::strlen(hexText) == 2 * size);
  unsigned char* raw = HexDecode(hexText);
  FUZZ_CHECK(raw != nullptr);
  FUZZ_CHECK(size == 0 || std::memcmp(raw, data, size) == 0);
  FUZZ_CHECK(raw[size] == 0);
  freeMem(raw);
  freeMem(hexText);
  return 0;
}
