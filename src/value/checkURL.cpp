// Domain-list matching.
#include "value/checkURL.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <exception>
#include <regex>

#include "diag/Console.h"

std::vector<std::string> vecDomainRegexs;
bool bIsUnlock = false;

namespace {

// Page-written patterns must not backtrack exponentially: libstdc++ can run them on its
// breadth-first executor, which is polynomial and refuses back-references. Captures are
// never read, so groups are compiled without them.
#if defined(__GLIBCXX__)
constexpr std::regex::flag_type kPatternFlags = std::regex::ECMAScript | std::regex::icase |
                                                std::regex::nosubs |
                                                std::regex_constants::__polynomial;
#else
constexpr std::regex::flag_type kPatternFlags =
    std::regex::ECMAScript | std::regex::icase | std::regex::nosubs;
#endif

const char* const kAddressPattern =
    R"(^https?:\/\/(((25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)(\.(25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)){3})|)"
    R"((([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9])(\.([a-zA-Z0-9]|[a-zA-Z0-9][a-zA-Z0-9\-]{0,61}[a-zA-Z0-9]))*))\/?(:\d+)?$)";

const std::regex& addressPattern() {
  static const std::regex pattern(kAddressPattern, kPatternFlags);
  return pattern;
}

std::vector<std::string> splitList(const char* list) {
  std::vector<std::string> pieces;
  const char* start = list;
  for (const char* p = list;; ++p) {
    if (*p == ';' || *p == '\0') {
      pieces.emplace_back(start, static_cast<size_t>(p - start));
      if (*p == '\0') break;
      start = p + 1;
    }
  }
  return pieces;
}

std::string trimmed(const std::string& piece) {
  size_t begin = 0;
  size_t end = piece.size();
  while (begin < end && isspace(static_cast<unsigned char>(piece[begin]))) ++begin;
  while (end > begin && isspace(static_cast<unsigned char>(piece[end - 1]))) --end;
  return piece.substr(begin, end - begin);
}

// Reads "{n}", "{n,}" or "{n,m}" at entry[at]; the count that sizes the pattern, or -1.
// That is the larger bound. The engine reads each bound into a machine integer, a
// malformed brace's too before it refuses it, so every number in the brace counts.
int64_t repetitionCount(const std::string& entry, size_t at, size_t* next) {
  constexpr int64_t kCap = static_cast<int64_t>(HALVORANT_DOMAIN_ENTRY_WEIGHT_MAX) + 1;
  size_t i = at + 1;
  int64_t low = -1;
  int64_t high = -1;
  int64_t* field = &low;
  for (; i < entry.size(); ++i) {
    char c = entry[i];
    if (c >= '0' && c <= '9') {
      *field = (*field < 0 ? 0 : *field) * 10 + (c - '0');
      if (*field > kCap) *field = kCap;
    } else if (c == ',' && field == &low && low >= 0) {
      field = &high;
    } else if (c == '}' && low >= 0) {
      *next = i;
      return high > low ? high : low;
    } else {
      break;
    }
  }
  return high > low ? high : low;  // -1 when no number was read
}

// Length of the number of a back-reference "\n" at entry[at] (the backslash), else 0.
size_t backReferenceDigits(const std::string& entry, size_t at) {
  size_t end = at + 1;
  if (end >= entry.size() || entry[end] < '1' || entry[end] > '9') return 0;
  while (end < entry.size() && entry[end] >= '0' && entry[end] <= '9') ++end;
  return end - at - 1;
}

// Length of the pattern the entry becomes: "*" turns into "\\S*" and "." into "\\.", and
// a leading or trailing "." brings an implied "*".
uint64_t expandedLength(const std::string& entry) {
  uint64_t length = 0;
  for (char c : entry) length += c == '*' ? 3 : c == '.' ? 2 : 1;
  if (!entry.empty() && entry.front() == '.') length += 3;
  if (!entry.empty() && entry.back() == '.') length += 3;
  return length;
}

// Loops of the pattern an entry becomes: every "*" (an implied one too) and "+". The
// matcher's time grows with them, far more than with plain characters.
uint64_t loopCount(const std::string& entry) {
  uint64_t loops = 0;
  for (size_t i = 0; i < entry.size(); ++i) {
    if (entry[i] == '\\') {
      ++i;
    } else if (entry[i] == '*' || entry[i] == '+') {
      ++loops;
    }
  }
  if (!entry.empty() && entry.front() == '.') ++loops;
  if (!entry.empty() && entry.back() == '.') ++loops;
  return loops;
}

const char* checkEntry(const std::string& entry, uint64_t* weightOut, uint64_t* loopsOut) {
  if (entry.size() > HALVORANT_DOMAIN_ENTRY_MAX) return "Domain entry too long";
  uint64_t weight = expandedLength(entry);
  uint64_t repeat = 1;
  for (size_t i = 0; i < entry.size(); ++i) {
    char c = entry[i];
    if (c == '\\') {
      // The engine refuses back-references, but reads the number first: one that could
      // name a group of an entry this long is harmless, a longer one overflows.
      if (backReferenceDigits(entry, i) > 3) return "Back-reference too large";
      ++i;
    } else if (c == '(' && entry.compare(i, 3, "(?=") == 0) {
      return "Lookahead not allowed";
    } else if (c == '(' && entry.compare(i, 3, "(?!") == 0) {
      return "Lookahead not allowed";
    } else if (c == '{') {
      size_t next = i;
      int64_t count = repetitionCount(entry, i, &next);
      if (count < 0) continue;
      weight *= static_cast<uint64_t>(count) + 1;
      repeat *= static_cast<uint64_t>(count) + 1;
      if (weight > HALVORANT_DOMAIN_ENTRY_WEIGHT_MAX) return "Repetition too large";
      i = next;
    }
  }
  *weightOut = weight;
  *loopsOut = loopCount(entry) * repeat;
  return nullptr;
}

void replaceAll(std::string& text, char what, const char* with) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == what)
      out += with;
    else
      out += c;
  }
  text.swap(out);
}

// Host part of an origin: drops the lower-case schemes and everything from the first ':'.
std::string reduceOrigin(const char* origin) {
  std::string out;
  for (const char* p = origin; *p != '\0';) {
    if (strncmp(p, "https://", 8) == 0) {
      p += 8;
    } else if (strncmp(p, "http://", 7) == 0) {
      p += 7;
    } else {
      out += *p++;
    }
  }
  size_t colon = out.find(':');
  if (colon != std::string::npos) out.erase(colon);
  return out;
}

}  // namespace

const char* checkDomainList(const char* domainList) {
  if (domainList == nullptr) return nullptr;
  if (strlen(domainList) > HALVORANT_DOMAIN_LIST_MAX) return "Domain list too long";
  size_t entries = 0;
  uint64_t total = 0;
  uint64_t loops = 0;
  for (const std::string& piece : splitList(domainList)) {
    std::string entry = trimmed(piece);
    if (entry.empty()) continue;
    if (++entries > HALVORANT_DOMAIN_ENTRIES_MAX) return "Too many domain entries";
    uint64_t weight = 0;
    uint64_t entryLoops = 0;
    const char* reason = checkEntry(entry, &weight, &entryLoops);
    if (reason != nullptr) return reason;
    total += weight;
    loops += entryLoops;
  }
  if (total > HALVORANT_DOMAIN_LIST_WEIGHT_MAX) return "Repetition too large";
  if (loops > HALVORANT_DOMAIN_LIST_LOOPS_MAX) return "Too many wildcards";
  return nullptr;
}

void setUnlockURL(const char* domainList) {
  bIsUnlock = false;
  if (domainList == nullptr || domainList[0] == '\0') {
    freeCheckURL();
    return;
  }
  const char* refused = checkDomainList(domainList);
  if (refused != nullptr) {
    // Nothing of an earlier list may stand in for this one.
    printfColorWarningLine("setUnlockURL exception: ", refused);
    freeCheckURL();
    return;
  }
  try {
    std::vector<std::string> pieces = splitList(domainList);
    printfColorLine("Enable url check list", "");
    std::vector<std::string> patterns;
    for (const std::string& piece : pieces) {
      std::string entry = trimmed(piece);
      if (!entry.empty() && entry.front() == '.') entry.insert(entry.begin(), '*');
      if (!entry.empty() && entry.back() == '.') entry.push_back('*');
      if (!entry.empty()) patterns.push_back(std::move(entry));
    }
    for (std::string& pattern : patterns) {
      printfColorLine("Url check list: ", pattern.c_str());
      replaceAll(pattern, '*', "\\S*");
      replaceAll(pattern, '.', "\\.");
    }
    vecDomainRegexs.swap(patterns);
  } catch (const std::exception& e) {
    printfColorWarningLine("setUnlockURL exception: ", e.what());
    freeCheckURL();
  }
}

void unlock(const char* origin) {
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("domain");
    return;
  }
  try {
    // The engine recurses per character: an origin no host can have never reaches it.
    if (strlen(origin) > HALVORANT_ORIGIN_MAX || !std::regex_match(origin, addressPattern())) {
      printfColorWarningLine("[Warning] ", "Input domain is not url");
      return;
    }
    if (bIsUnlock || vecDomainRegexs.empty()) return;
    printfColorLine("Unlock original domain input: ", origin);
    std::string alternation;
    for (const std::string& pattern : vecDomainRegexs) {
      alternation += '(';
      alternation += pattern;
      if (alternation.back() == '/') alternation.pop_back();
      alternation += "\\/?)|";
    }
    alternation.pop_back();
    std::regex list(alternation, kPatternFlags);
    if (std::regex_match(reduceOrigin(origin), list)) bIsUnlock = true;
  } catch (const std::exception& e) {
    printfColorWarningLine("unlock exception: ", e.what());
  }
}

bool isUrlUnlock() { return bIsUnlock; }

bool checkDomain(const char* origin) {
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("domain");
    return false;
  }
  bIsUnlock = false;
  unlock(origin);
  return bIsUnlock;
}

void freeCheckURL() { std::vector<std::string>().swap(vecDomainRegexs); }
