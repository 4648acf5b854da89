// Domain-list matching: the list format, the origin reductions, and hostile input.
#include <gtest/gtest.h>
#include <pthread.h>

#include <string>

#include "value/checkURL.h"

namespace {

// One check, the way the value store runs it.
bool admitted(const char* list, const char* origin) {
  setUnlockURL(list);
  unlock(origin);
  bool verdict = isUrlUnlock();
  freeCheckURL();
  return verdict;
}

std::string captured(const char* list, const char* origin, bool* verdict) {
  testing::internal::CaptureStdout();
  *verdict = admitted(list, origin);
  return testing::internal::GetCapturedStdout();
}

struct MatchCase {
  const char* list;
  const char* origin;
  bool expected;
  const char* line;  // a console text the check must print, or null
};

const MatchCase kMatchCases[] = {
    {"*.example.com; www.example.org", "https://shop.example.com:8443", true, "Unlock original domain input: "},
    {"*.example.com; www.example.org", "https://example.com", false, nullptr},
    {"*.example.com; www.example.org", "https://WWW.EXAMPLE.ORG", true, nullptr},
    // The scheme is removed case-sensitively: "HTTPS" is what gets matched.
    {"*.example.com; www.example.org", "HTTPS://www.example.org", false, nullptr},
    {"*.example.com; www.example.org", "https://shop.example.com.evil.test", false, nullptr},
    {"*.example.com", "http://a.b.example.com/", true, nullptr},
    {".example.com", "https://a.example.com", true, nullptr},
    {".example.com", "https://example.com", false, nullptr},
    {"www.example.", "https://www.example.net", true, nullptr},
    {"www.example.", "https://www.example", false, nullptr},
    {"*", "https://anything.test:1", true, nullptr},
    {"*", "http://10.0.0.1", true, nullptr},
    {"*", "null", false, "Input domain is not url"},
    {"*", "file://x", false, "Input domain is not url"},
    {"*", "https://[::1]:54469", false, "Input domain is not url"},
    {"*", "https://a.test/path", false, "Input domain is not url"},
    {"*", "", false, "Input domain is not url"},
    {"192.168.1.10", "https://192.168.1.10:8080", true, nullptr},
    {"192.168.1.1", "https://192.168.1.10:8080", false, nullptr},
    {"  www.example.org \t", "https://www.example.org", true, "Url check list: "},
    {"example.com/", "https://example.com", true, nullptr},
    {"example.com/", "https://example.com/", true, nullptr},
    {"www.example.org", "https://www.example.org/", true, nullptr},
    {"examplexcom", "https://example.com", false, nullptr},  // the dot is literal
    {"(shop|www).example.com", "https://www.example.com", true, nullptr},
    {"a;;  ;b.test;", "https://b.test", true, nullptr},
    {"", "https://www.example.org", false, nullptr},
    {" ; ;", "https://www.example.org", false, nullptr},
    // One invalid entry refuses the whole list.
    {"www.example.org; a(", "https://www.example.org", false, "unlock exception: "},
    {"(a)\\1", "https://aa", false, "unlock exception: "},
};

TEST(CheckUrl, DomainListCases) {
  for (const MatchCase& c : kMatchCases) {
    bool verdict = false;
    std::string out = captured(c.list, c.origin, &verdict);
    EXPECT_EQ(verdict, c.expected) << "list \"" << c.list << "\" origin \"" << c.origin << "\"";
    if (c.line != nullptr) {
      EXPECT_NE(out.find(c.line), std::string::npos) << c.list << " / " << c.origin << "\n" << out;
    }
    EXPECT_TRUE(vecDomainRegexs.empty());
  }
}

TEST(CheckUrl, PatternsAreCompiledInListOrder) {
  setUnlockURL(" .a.test ; b. ;c*d");
  ASSERT_EQ(vecDomainRegexs.size(), 3u);
  EXPECT_EQ(vecDomainRegexs[0], "\\S*\\.a\\.test");
  EXPECT_EQ(vecDomainRegexs[1], "b\\.\\S*");
  EXPECT_EQ(vecDomainRegexs[2], "c\\S*d");
  EXPECT_FALSE(isUrlUnlock());
  freeCheckURL();
  EXPECT_TRUE(vecDomainRegexs.empty());
}

TEST(CheckUrl, CheckDomainStartsFromAFalseVerdict) {
  setUnlockURL("a.test");
  EXPECT_TRUE(checkDomain("https://a.test"));
  EXPECT_FALSE(checkDomain("https://b.test"));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(checkDomain(nullptr));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Parameter domain is null at "), std::string::npos) << out;
  freeCheckURL();
}

TEST(CheckUrl, VerdictComesFromTheCurrentListOnly) {
  setUnlockURL("*");
  std::string tooLong(HALVORANT_DOMAIN_LIST_MAX + 1, 'a');
  testing::internal::CaptureStdout();
  setUnlockURL(tooLong.c_str());
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("setUnlockURL exception: "), std::string::npos) << out;
  EXPECT_TRUE(vecDomainRegexs.empty());
  unlock("https://a.test");
  EXPECT_FALSE(isUrlUnlock());
  freeCheckURL();
}

std::string repeated(const std::string& piece, size_t times, const char* separator) {
  std::string out;
  for (size_t i = 0; i < times; ++i) {
    if (i > 0) out += separator;
    out += piece;
  }
  return out;
}

TEST(CheckUrl, ListLimits) {
  const std::string entry63(63, 'a');
  struct Limit {
    std::string list;
    bool accepted;
  };
  const Limit limits[] = {
      {std::string(HALVORANT_DOMAIN_LIST_MAX - 2, 'a') + ";b", false},  // entry too long
      {repeated("a", HALVORANT_DOMAIN_ENTRIES_MAX, ";"), true},
      {repeated("a", HALVORANT_DOMAIN_ENTRIES_MAX + 1, ";"), false},
      {repeated("a", 2000, "; ;"), false},
      {std::string(HALVORANT_DOMAIN_LIST_MAX, ';'), true},  // nothing but empty entries
      {std::string(HALVORANT_DOMAIN_LIST_MAX + 1, ';'), false},
      {"  " + std::string(HALVORANT_DOMAIN_ENTRY_MAX, 'a') + "  ", true},
      {std::string(HALVORANT_DOMAIN_ENTRY_MAX + 1, 'a'), false},
      {"(?=a)b", false},
      {"x;(?!a)b", false},
      {"\\(?=a", true},  // an escaped parenthesis, not a lookahead
      {"(?:www|shop).test", true},
      {"[a-z0-9-]{1,63}.test", true},
      {"\\S{0,4000}", false},
      {"((\\S{0,20}){0,20}){0,20}", false},
      {"a{99999999999999999999}", false},
      // Both bounds count: the engine reads a huge lower bound into a machine integer too.
      {"a{99999999999999999999,7}", false},
      {"a{7,99999999999999999999}", false},
      {"a{99999999999999999999,x", false},  // malformed, but read before the engine sees it
      {"a{99999999999999999999,", false},
      {"a{2,x", true},                      // a small malformed count is the engine's to refuse
      {"(a)\\99999999999999999999", false},
      {"(a)\\1", true},                     // no number overflows: the engine refuses it
      {"a{2,}", true},
      {repeated("\\S{0,400}", 4, ";"), true},   // weight 4 x 3609
      {repeated("\\S{0,400}", 5, ";"), false},  // over the list's weight
  };
  for (const Limit& l : limits) {
    const char* reason = checkDomainList(l.list.c_str());
    EXPECT_EQ(reason == nullptr, l.accepted) << l.list.substr(0, 80) << ": " << (reason ? reason : "");
  }
  EXPECT_EQ(checkDomainList(nullptr), nullptr);
}

// Host of exactly 253 characters: the longest origin that must still be an address.
std::string longestHost(char c) {
  return repeated(std::string(63, c), 3, ".") + "." + std::string(61, c);
}

TEST(CheckUrl, LongestValidOriginIsStillMatched) {
  std::string origin = "https://" + longestHost('h') + "/:54469";
  ASSERT_EQ(origin.size(), HALVORANT_ORIGIN_MAX);
  EXPECT_TRUE(admitted("*", origin.c_str()));
  EXPECT_TRUE(admitted(("*" + std::string(61, 'h')).c_str(), origin.c_str()));
  EXPECT_FALSE(admitted("*", (origin + "1").c_str()));
}

struct Hostile {
  std::string list;
  std::string origin;
};

// Lists and origins a page could send to make the engine recurse deeply or backtrack
// exponentially. Each must simply be refused and return. The list cases use the longest
// address, so their patterns really run (or are refused by the list limits).
std::vector<Hostile> hostileCases() {
  const std::string address = "https://" + longestHost('a') + "/:54469";
  return {
      {"*", "https://" + std::string(1 << 20, 'a')},
      {"*", "https://" + repeated("a", 200000, ".")},
      {"*", "https://" + repeated("1", 100000, ".") + ":1"},
      {"*", "https://" + std::string(100000, '-')},
      {"*", "http://" + std::string(240, 'a') + "-" + ":" + std::string(5000, '9')},
      {"*", "https://" + repeated(std::string(62, 'a') + "-", 4, "")},
      {"*", "https://" + repeated(std::string(62, 'a') + ".", 4, "") + "-"},
      {repeated("*a", 120, "") + "b", address},
      {repeated("(\\S+)+", 30, "") + "b", address},
      {repeated("(\\S|\\S?)+", 20, "") + "b", address},
      {repeated("(a|a?)+", 30, "") + "b", address},
      {repeated("\\S{0,400}b", 4, ";"), address},
      {repeated("(){0,290}b", 5, ";"), address},
      {repeated("((\\S?){0,7}){0,7}b", 14, ";"), address},
      {repeated("(\\S+|\\S+){0,60}b", 16, ";"), address},
      {repeated("(\\S+|\\S+){0,140}b", 6, ";"), address},
      {repeated("(((a?){0,7}){0,7}){0,7}b", 64, ";"), address},
      {repeated(std::string(126, '(') + std::string(126, ')'), 16, ";"), address},
      {repeated("(" + repeated("\\b|\\S?", 30, "|") + ")+b", 16, ";"), address},
      {"(\\S+)\\1b", address},
      {"a{1333333333333333333333333333333333333333333333333333333333333333,7}.test", address},
      {"a{99999999999999999999,x}b", address},
      {"(a)\\99999999999999999999b", address},
      {std::string(HALVORANT_DOMAIN_LIST_MAX + 1000000, 'a'), address},
  };
}

TEST(CheckUrl, HostileListsAreRunOnARealAddress) {
  ASSERT_TRUE(admitted("*", ("https://" + longestHost('a') + "/:54469").c_str()));
}

TEST(CheckUrl, HostileListsAndOriginsEndWithoutAdmission) {
  for (const Hostile& h : hostileCases())
    EXPECT_FALSE(admitted(h.list.c_str(), h.origin.c_str())) << h.list.substr(0, 60);
}

// Request threads may have small stacks (512 KiB is a common default for secondary
// threads): the same hostile cases must run there without exhausting it.
TEST(CheckUrl, HostileCasesFitASmallThreadStack) {
  struct Run {
    static void* body(void* arg) {
      int* refused = static_cast<int*>(arg);
      for (const Hostile& h : hostileCases())
        if (!admitted(h.list.c_str(), h.origin.c_str())) ++*refused;
      return nullptr;
    }
  };
  pthread_attr_t attributes;
  ASSERT_EQ(pthread_attr_init(&attributes), 0);
  ASSERT_EQ(pthread_attr_setstacksize(&attributes, 512 * 1024), 0);
  int refused = 0;
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, &Run::body, &refused), 0);
  ASSERT_EQ(pthread_join(thread, nullptr), 0);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(refused, static_cast<int>(hostileCases().size()));
}

}  // namespace
