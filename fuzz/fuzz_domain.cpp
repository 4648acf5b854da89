// Domain-list matching: a page-written list against a page's origin.
//
// Input: the list up to '\n', then the origin. Besides staying within memory, stack and
// time (libFuzzer's -timeout), a refused list must admit nobody, and an address origin
// must be admitted by a list naming exactly its own host.
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "value/checkURL.h"

namespace {

bool admitted(const char* list, const char* origin) {
  setUnlockURL(list);
  unlock(origin);
  const bool verdict = isUrlUnlock();
  freeCheckURL();
  return verdict;
}

// The host of an address origin ("http(s)://host[/][:port]"), as the matcher compares it.
// Only the lower-case schemes are removed (browsers send no other), so an origin with
// another spelling has no host here and is left out of the check.
std::string hostOf(const std::string& origin) {
  std::string rest;
  if (origin.rfind("https://", 0) == 0)
    rest = origin.substr(8);
  else if (origin.rfind("http://", 0) == 0)
    rest = origin.substr(7);
  return rest.substr(0, rest.find(':'));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const std::string list = input.until('\n');
  const std::string origin = input.rest();

  const char* refused = checkDomainList(list.c_str());
  setUnlockURL(list.c_str());
  if (refused != nullptr) FUZZ_CHECK(vecDomainRegexs.empty());
  unlock(origin.c_str());
  const bool verdict = isUrlUnlock();
  freeCheckURL();
  if (refused != nullptr) FUZZ_CHECK(!verdict);
  FUZZ_CHECK(checkDomain(origin.c_str()) == false);  // no list left: nobody

  if (admitted("*", origin.c_str())) {
    const std::string host = hostOf(origin);
    if (!host.empty() && host.size() <= HALVORANT_DOMAIN_ENTRY_MAX)
      FUZZ_CHECK(admitted(host.c_str(), origin.c_str()));
  }
  return 0;
}
