// Version comparison of the page's minServerVersion / minLibVersion against a version: any
// two texts (separated by a newline in the input) give one of the documented results, the
// same pair reversed gives the mirrored result, and a text compared with itself is equal
// unless one of its components is empty.
#include <string>

#include "FuzzSupport.h"
#include "util/Tool.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

namespace {

bool documented(int32_t r) { return r == 0 || r == 1 || r == -1 || r == 2 || r == 3 || r == 61005 || r == 61001; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const std::string a = input.until('\n');
  const std::string b = input.rest();

  const int32_t forward = checkVersion(a.c_str(), b.c_str());
  const int32_t backward = checkVersion(b.c_str(), a.c_str());
  FUZZ_CHECK(documented(forward));
  FUZZ_CHECK(forward == 1 || forward == -1 ? backward == -forward : backward == forward);
  const int32_t same = checkVersion(a.c_str(), a.c_str());
  FUZZ_CHECK(same == 0 || same == 61005);

  // As the service checks a page's minimum against its own version.
  FUZZ_CHECK(documented(checkVersion(a.c_str(), "1.0.23.0510")));
  return 0;
}
