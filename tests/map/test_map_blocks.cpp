// Map blocks: a released map's block comes back zero-filled, texts in the map's own area and
// in allocations of their own are released alike, the failure seam reaches kept blocks, and
// the bounded text getter reads what the copying getter reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "MapTestSupport.h"
#include "map/Json.h"

namespace {

bool allZero(const HalvorantJsonMap* map) {
  static const HalvorantJsonMap zero{};
  return std::memcmp(map, &zero, sizeof zero) == 0;
}

// Each way a map gets filled, released, then a new map (the same block, kept) must read as
// zero everywhere: units, texts and count.
TEST(MapBlocks, ReleasedBlockComesBackZeroFilled) {
  const std::string big(5000, 'b');  // past the text area: an allocation of its own
  const std::string bigJson = "{\"k\":\"" + big + "\",\"a\":\"1\"}";
  struct Case {
    const char* name;
    HalvorantJsonMap* (*fill)(const std::string&);
  } cases[] = {
      {"read from JSON", [](const std::string&) { return getHalvorantJsonMap(R"({"b":"2","a":"1","a":"3"})"); }},
      {"read from long JSON", [](const std::string& json) { return getHalvorantJsonMap(json.c_str()); }},
      {"built with texts, bytes and replacements",
       [](const std::string& json) {
         HalvorantJsonMap* map = newHalvorantJsonMap();
         addHalvorantJsonMapUnit(map, "result", 0);
         addHalvorantJsonMapUnit(map, "Long", json.c_str());
         addHalvorantJsonMapUnit(map, "result", "replaced");
         addHalvorantJsonMapUnit(map, "data", reinterpret_cast<const unsigned char*>("xyz"), 3);
         return map;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HalvorantJsonMap* map = c.fill(bigJson);
    ASSERT_NE(map, nullptr);
    ASSERT_GT(map->count, 0);
    freeHalvorantJsonMap(map);
    std::vector<HalvorantJsonMap*> fresh;
    for (int i = 0; i < 10; ++i) {  // more than are kept: reused blocks first, then new ones
      fresh.push_back(newHalvorantJsonMap());
      ASSERT_NE(fresh.back(), nullptr);
      EXPECT_TRUE(allZero(fresh.back())) << "map " << i;
    }
    for (HalvorantJsonMap* m : fresh) freeHalvorantJsonMap(m);
  }
}

// A value replaced again and again fills the text area and then goes to allocations of its
// own; each reads back, and everything is released once (the sanitizer builds see a wrong
// free). Keys past the area too.
TEST(MapBlocks, TextsInAndBeyondTheAreaReplaceAndRelease) {
  MapPtr map = MapPtr(getHalvorantJsonMap(R"({"k":"first","other":"x"})"));
  ASSERT_NE(map, nullptr);
  for (int i = 1; i <= 60; ++i) {
    const std::string value(static_cast<size_t>(i * 7), static_cast<char>('a' + i % 26));
    ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), "K", value.c_str()), HALVORANT_MAP_OK);
    ASSERT_EQ(lookup(map.get(), "k"), value) << "round " << i;
  }
  for (int i = 0; i < 40; ++i) {
    const std::string key = "key_" + std::to_string(i) + std::string(60, 'x');
    ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), key.c_str(), i), HALVORANT_MAP_OK);
  }
  EXPECT_EQ(map->count, 42);
  EXPECT_EQ(lookup(map.get(), "other"), "x");
  EXPECT_EQ(lookup(map.get(), ("key_39" + std::string(60, 'x')).c_str()), "39");
  ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), "k", static_cast<const char*>(nullptr)), HALVORANT_MAP_OK);
  EXPECT_EQ(map->units[0].value, nullptr);
}

// A map that cannot be had fails as an allocation does, whether a kept block is there or not.
TEST(MapBlocks, FailureSeamReachesKeptBlocks) {
  freeHalvorantJsonMap(newHalvorantJsonMap());  // one block kept at least
  const uint64_t before = newMemSizeCalls();
  HalvorantJsonMap* map = nullptr;
  std::string out = consoleOf([&] {
    setAllocationFailure(1);
    map = newHalvorantJsonMap();
    setAllocationFailure(0);
  });
  EXPECT_EQ(map, nullptr);
  EXPECT_TRUE(contains(out, "Memory allocate fail at line: ")) << out;
  EXPECT_EQ(newMemSizeCalls() - before, 1u);
  out = consoleOf([&] {
    setAllocationFailure(1);
    map = getHalvorantJsonMap(R"({"a":"1"})");
    setAllocationFailure(0);
  });
  EXPECT_EQ(map, nullptr);
  EXPECT_TRUE(contains(out, "Memory allocate fail at line: ")) << out;
  MapPtr again(newHalvorantJsonMap());
  ASSERT_NE(again, nullptr);
  EXPECT_TRUE(allZero(again.get()));
}

// readHalvorantJsonText reads what getHalvorantJsonCharType gives, cut to the buffer.
TEST(MapBlocks, BoundedTextReadsAsTheCopyingGetter) {
  MapPtr map(getHalvorantJsonMap(
      R"({"plain":"value","b64":"aGVsbG8=","b64_HalvorantBase64Flag":"true","star":"a*b","star_HalvorantFlag":"TRUE"})"));
  ASSERT_NE(map, nullptr);
  addHalvorantJsonMapUnit(map.get(), "bin", reinterpret_cast<const unsigned char*>("raw"), 3);
  struct Case {
    const char* key;
    uint32_t size;
    const char* expected;
  } cases[] = {
      {"plain", 64, "value"}, {"PLAIN", 64, "value"}, {"plain", 4, "val"}, {"b64", 64, "hello"},
      {"b64", 3, "he"},       {"star", 64, "a\\b"},   {"bin", 64, "raw"},  {"missing", 64, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " in " + std::to_string(c.size));
    char buffer[64];
    std::memset(buffer, 'z', sizeof buffer);
    readHalvorantJsonText(map.get(), c.key, buffer, c.size);
    EXPECT_STREQ(buffer, c.expected);
    if (c.size == 64) {
      EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), c.key)), c.expected[0] ? c.expected : "<null>");
    }
  }
  char buffer[8] = "zzzzzzz";
  const std::string out = consoleOf([&] { readHalvorantJsonText(nullptr, "plain", buffer, sizeof buffer); });
  EXPECT_STREQ(buffer, "");
  EXPECT_TRUE(contains(out, "Parameter inputHalvorantJson is null")) << out;
  readHalvorantJsonText(map.get(), "plain", nullptr, 8);  // nothing to write to: nothing happens
}

}  // namespace
