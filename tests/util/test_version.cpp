// Version comparison codes and the build-stamped version text.
#include <gtest/gtest.h>

#include <string>

#include "util/Tool.h"
#include "util/ToolDetail.h"

namespace {

TEST(CheckVersion, CodeTable) {
  struct Case {
    const char* a;
    const char* b;
    int32_t code;
  };
  const Case cases[] = {
      {"1.2.3", "1.2.3", 0},
      {"1.2.10", "1.2.9", 1},
      {"1.2.9", "1.2.10", -1},
      {"1.02", "1.2", 0},
      {"1.2", "1.2.0", 3},
      {"1..2", "1.0.2", 61005},
      {"1.2.", "1.2.3", 61005},
      {"1.0.2", "1..2", 61005},
      {"1,2", "1.2", 0},
      {"1. 2", "1.2", 0},
      {" 1 . 2 ", "1.2", 0},
      {"1.2a", "1.2a", 0},
      {"1.2a", "1.2b", 2},
      {"1.2", "1.2a", 2},
      {"x.1", "x.2", -1},  // equal text components are passed over
      {"-1", "0", -1},
      {"+1", "1", 2},
      {"12345678901234567890", "12345678901234567890", 0},
      {"12345678901234567890", "12345678901234567891", 2},
      {"", "", 0},
      {"", "1", 3},
      {"1.0.23.0510", "1.0.23.0510", 0},
      {"1.0.0.0", "1.0.23.0510", -1},
      {"1\t.2", "1.2", 2},  // tabs are not blanks
  };
  for (const Case& c : cases) EXPECT_EQ(checkVersion(c.a, c.b), c.code) << c.a << " vs " << c.b;
  EXPECT_EQ(checkVersion(nullptr, "1"), 61001);
  EXPECT_EQ(checkVersion("1", nullptr), 61001);
}

TEST(CheckVersion, LongTextIsCutNotOverrun) {
  std::string longA(2000, '1');
  EXPECT_EQ(checkVersion(longA.c_str(), longA.c_str()), 0);
}

TEST(DynamicVersion, StampFromBuildDate) {
  struct Case {
    const char* date;
    const char* expected;
  };
  const Case cases[] = {
      {"Mar 15 2024", "2.1.24.0315"},
      {"Dec  5 2026", "2.1.26.1205"},
      {"Jan 31 2030", "2.1.30.0131"},
  };
  for (const Case& c : cases) {
    char* text = buildVersionStamp("2.1", c.date);
    ASSERT_NE(text, nullptr) << c.date;
    EXPECT_STREQ(text, c.expected);
    freeMem(text);
  }
  EXPECT_EQ(buildVersionStamp("2.1", "Foo 15 2024"), nullptr);
  EXPECT_EQ(buildVersionStamp("2.1", "short"), nullptr);
  EXPECT_EQ(getDynamicVersion(nullptr), nullptr);
  char* live = getDynamicVersion("2.1");
  ASSERT_NE(live, nullptr);
  EXPECT_EQ(std::string(live).size(), std::string("2.1.24.0315").size());
  EXPECT_EQ(std::string(live).rfind("2.1.", 0), 0u);
  freeMem(live);
}

}  // namespace
