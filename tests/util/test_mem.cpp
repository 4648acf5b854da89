// Memory and string helpers: the edge behaviour other modules rely on.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "util/Tool.h"

namespace {

std::string take(char* text) {
  std::string out = text != nullptr ? text : "<null>";
  freeMem(text);
  return out;
}

std::vector<std::string> pieces(char** list) {
  std::vector<std::string> out;
  if (list == nullptr) return {"<null>"};
  for (char** p = list; *p != nullptr; ++p) out.emplace_back(*p);
  freeSubStringList(list);
  return out;
}

TEST(NewMem, SizesAndNumberTexts) {
  EXPECT_EQ(newMemSize(0), nullptr);
  EXPECT_EQ(newMemSize(2147483648ULL), nullptr);
  EXPECT_EQ(newMemSize(UINT64_MAX), nullptr);
  unsigned char* block = static_cast<unsigned char*>(newMemSize(100));
  ASSERT_NE(block, nullptr);
  for (int i = 0; i < 100; ++i) EXPECT_EQ(block[i], 0);
  freeMem(block);
  freeMem(nullptr);

  EXPECT_EQ(newMem(static_cast<const char*>(nullptr)), nullptr);
  EXPECT_EQ(take(newMem("abc")), "abc");
  EXPECT_EQ(take(newMem(true)), "true");
  EXPECT_EQ(take(newMem(false)), "false");
  EXPECT_EQ(take(newMem(int32_t{-42})), "-42");
  EXPECT_EQ(take(newMem(int64_t{-9223372036854775807LL - 1})), "-9223372036854775808");
  EXPECT_EQ(take(newMem(1.5f)), "1.500000");
  EXPECT_EQ(take(newMem(1.5)), "1.500000");
  EXPECT_EQ(take(newMem(1e300)).size(), 301u + 7u);  // no fixed buffer to overflow
}

TEST(ArrayCopy, CutsTerminatesAndKeepsOnNull) {
  char buffer[64];
  std::string seventy(70, 'x');
  ArrayCopy(buffer, sizeof buffer, seventy.c_str());
  EXPECT_EQ(strlen(buffer), 63u);

  ArrayCopy(buffer, sizeof buffer, "old");
  ArrayCopy(buffer, sizeof buffer, nullptr);
  EXPECT_STREQ(buffer, "old");

  char one[1] = {'z'};
  ArrayCopy(one, 1, "abc");
  EXPECT_EQ(one[0], '\0');

  char* moved = newMem("moved");
  ArrayCopyFree(buffer, sizeof buffer, moved);  // freed inside; ASan/valgrind would flag misuse
  EXPECT_STREQ(buffer, "moved");
  ArrayCopyFree(buffer, sizeof buffer, nullptr);
  EXPECT_STREQ(buffer, "moved");
}

TEST(StringAppend, CutsToRoomLeft) {
  char buffer[5] = "xyz";
  StringAppend(buffer, sizeof buffer, "ab");
  EXPECT_STREQ(buffer, "xyza");
  StringAppend(buffer, sizeof buffer, "more");
  EXPECT_STREQ(buffer, "xyza");

  char full[4] = {'a', 'b', 'c', 'd'};  // not terminated: nothing may be written
  StringAppend(full, sizeof full, "e");
  EXPECT_EQ(std::string(full, 4), "abcd");
}

TEST(Replace, Cases) {
  struct Case {
    const char* text;
    const char* pattern;
    const char* replacement;
    const char* expected;
  };
  const Case cases[] = {
      {"a*b*c", "*", "\\", "a\\b\\c"},
      {"plain", "==HalvorantSlash==", "\\", "plain"},
      {"aaa", "aa", "b", "ba"},  // no overlap
      {"xx", "x", "long", "longlong"},
      {"abc", "b", nullptr, "ac"},
      {"abc", "", "z", "abc"},
      {"", "a", "b", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(take(replace(c.text, c.pattern, c.replacement)), c.expected) << c.text << " / " << c.pattern;
  EXPECT_EQ(replace(nullptr, "a", "b"), nullptr);
}

TEST(GetRangeValue, BoundsAreSafe) {
  EXPECT_EQ(take(getRangeValue("abcdef", 1, 4)), "bcd");
  EXPECT_EQ(getRangeValue("abc", 2, 2), nullptr);
  EXPECT_EQ(getRangeValue("abc", 3, 1), nullptr);
  EXPECT_EQ(getRangeValue(nullptr, 0, 1), nullptr);
  // Offsets beyond the text never read past its end.
  EXPECT_EQ(take(getRangeValue("abc", 1, 1000)), "bc");
  EXPECT_EQ(getRangeValue("abc", 10, 20), nullptr);
  EXPECT_EQ(getRangeValue("abc", -5, 2), nullptr);
}

TEST(GetSubStringList, PiecesKeepEmpties) {
  struct Case {
    const char* text;
    const char* delimiter;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"1.2.3", ".", {"1", "2", "3"}},
      {"1,,3", ",", {"1", "", "3"}},
      {",1", ",", {"", "1"}},
      {"1,", ",", {"1", ""}},
      {"abc", ",", {"abc"}},
      {"a::b::", "::", {"a", "b", ""}},
      {"https://a.test/x", "/", {"https:", "", "a.test", "x"}},
      {"", ",", {}},
      {nullptr, ",", {}},
      {"abc", "", {}},
      {"abc", nullptr, {}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(pieces(getSubStringList(c.text, c.delimiter)), c.expected) << (c.text ? c.text : "null");
  freeSubStringList(nullptr);
}

TEST(StartsEndsWith, Cases) {
  EXPECT_TRUE(startsWith("localhost:", "localhost:443"));
  EXPECT_FALSE(startsWith("localhost:", "LOCALHOST:443"));
  EXPECT_FALSE(startsWith("localhost:", "local"));
  EXPECT_TRUE(startsWith(nullptr, "x"));
  EXPECT_FALSE(startsWith("x", nullptr));
  EXPECT_TRUE(startsWith("", "x"));

  EXPECT_TRUE(endsWith(".dylib", "lib.dylib"));
  EXPECT_FALSE(endsWith(".dylib", "lib.DYLIB"));
  EXPECT_FALSE(endsWith("long suffix", "fix"));
  EXPECT_TRUE(endsWith(nullptr, "x"));
  EXPECT_FALSE(endsWith("x", nullptr));
}

TEST(UpToLowAndPadding, Cases) {
  EXPECT_EQ(take(UpToLow("AbC-\xC4Z")), "abc-\xC4z");  // only A-Z fold
  EXPECT_EQ(UpToLow(nullptr), nullptr);

  EXPECT_EQ(take(PaddingWith(int32_t{5}, 2, '0')), "05");
  EXPECT_EQ(take(PaddingWith(int32_t{-5}, 3, '0')), "0-5");
  EXPECT_EQ(take(PaddingWith("ab", 5, ' ')), "   ab");
  EXPECT_EQ(take(PaddingWith("abc", 3, '0')), "abc");
  EXPECT_EQ(take(PaddingWith("abcd", 2, '0')), "abcd");  // longer than the width: unchanged
  EXPECT_EQ(take(PaddingWith("ab", 4, '\0')), "ab");
  EXPECT_EQ(PaddingWith(static_cast<const char*>(nullptr), 3, '0'), nullptr);
}

TEST(CharToLong, StrictAndLoose) {
  struct Case {
    const char* text;
    bool strict;
    int64_t value;
    int32_t code;
  };
  const Case cases[] = {
      {"-12", true, -12, 0},
      {"+12", true, 0, 61003},
      {"12a", true, 0, 61003},
      {"1 2", true, 0, 61003},
      {"99999999999999999999", true, 0, 61003},
      {"", true, 0, 61003},
      {"-", true, 0, 61003},
      {"1-2", true, 0, 61003},
      {"9223372036854775807", true, 9223372036854775807LL, 0},
      {"  42x", false, 42, 0},
      {"12abc", false, 12, 0},
      {"+12", false, 12, 0},
      {"abc", false, 0, 61003},
      {"", false, 0, 61003},
      {nullptr, false, 0, 61004},
      {nullptr, true, 0, 61004},
  };
  for (const Case& c : cases) {
    LastErrorCode = 12345;
    EXPECT_EQ(charToLong(c.text, c.strict), c.value) << (c.text ? c.text : "null");
    EXPECT_EQ(lastErrorCode(), c.code) << (c.text ? c.text : "null");
    EXPECT_EQ(isCharToLongError(), c.code != 0);
  }
  EXPECT_EQ(charToLong("17"), 17);
  EXPECT_EQ(charToLong("0x1f", 0), 31);
  EXPECT_EQ(charToLong("017", 0), 15);
  EXPECT_EQ(charToLong("ff", 16), 255);
  EXPECT_EQ(charToLong("12", 1), 0);
  EXPECT_TRUE(isCharToLongError());
  EXPECT_TRUE(checkNoValue(nullptr));
  EXPECT_TRUE(checkNoValue(""));
  EXPECT_FALSE(checkNoValue(" "));
}

}  // namespace
