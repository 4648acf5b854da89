// Flag and display paths that depend on how a unit is stored: binary flag values, keys too
// long for the display's stack buffers, JSON values with and without escapes.
#include <gtest/gtest.h>

#include <string>

#include "MapTestSupport.h"
#include "map/Json.h"

namespace {

// A flag stored as bytes is read as the text of those bytes, like a text flag.
TEST(FlagUnits, BinaryFlagValues) {
  struct Case {
    const char* name;
    std::string bytes;
    const char* expected;
  } cases[] = {
      {"true", "true", "C:\\dir"},
      {"TRUE", "TRUE", "C:\\dir"},
      {"true and more", "trueish", "C:*dir"},
      {"true then zero byte", std::string("true\0x", 6), "C:\\dir"},  // read as text: ends at the zero
      {"false", "false", "C:*dir"},
  };
  for (const Case& c : cases) {
    MapPtr map = mapOf({{"path", "C:*dir"}});
    addHalvorantJsonMapUnit(map.get(), "path_HalvorantFlag", reinterpret_cast<const unsigned char*>(c.bytes.data()),
                            c.bytes.size());
    std::string result;
    consoleOf([&] { result = textOf(getHalvorantJsonCharType(map.get(), "path")); });
    EXPECT_EQ(result, c.expected) << c.name;
  }
}

// Keys of any length display as "<key>: <value>", masked by the same rules (a flag key
// longer than 511 bytes is never set).
TEST(FlagUnits, LongKeysDisplay) {
  for (size_t length : {1u, 252u, 253u, 254u, 600u}) {
    const std::string plainKey(length, 'K');
    const std::string pinKey = std::string(length, 'x') + "PIN";
    const std::string hiddenKey = std::string(length, 'h');
    MapPtr map = mapOf({{plainKey.c_str(), "shown"},
                        {pinKey.c_str(), "1234"},
                        {hiddenKey.c_str(), "abc"},
                        {(hiddenKey + "_HalvorantHide").c_str(), "true"}});
    const std::string out = consoleOf([&] { showHalvorantJsonMap(map.get()); });
    EXPECT_TRUE(contains(out, "] " + plainKey + ": shown\n")) << length;
    EXPECT_TRUE(contains(out, "] " + pinKey + ": ****\n")) << length;
    const bool hideFlagUsable = length + 14 <= 511;
    EXPECT_TRUE(contains(out, "] " + hiddenKey + (hideFlagUsable ? ": ***\n" : ": abc\n"))) << length;
    EXPECT_FALSE(contains(out, "Memory allocate fail")) << length;
  }
}

// Escapes are reversed only in values that hold them; other values are taken as written.
TEST(FlagUnits, JsonValuesWithAndWithoutEscapes) {
  MapPtr map(getHalvorantJsonMap(R"({"a":"plain text","b":"line\nnext \"q\"","c":"","d":"back\\slash"})"));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(lookup(map.get(), "a"), "plain text");
  EXPECT_EQ(lookup(map.get(), "b"), "line\nnext \"q\"");
  EXPECT_EQ(lookup(map.get(), "c"), "");
  EXPECT_EQ(lookup(map.get(), "d"), "back\\\\slash");  // "\\" is not one of the reversed escapes
}

}  // namespace
