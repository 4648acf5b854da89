// JSON text of the map: the request reader and the answer writer.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "MapTestSupport.h"
#include "map/Json.h"

namespace {

using Units = std::vector<std::pair<std::string, std::string>>;

Units unitsOf(const HalvorantJsonMap* map) {
  Units units;
  for (int i = 0; i < map->count; ++i)
    units.emplace_back(map->units[i].key, map->units[i].value != nullptr ? map->units[i].value : "<null>");
  return units;
}

TEST(JsonRead, FlatObjects) {
  struct Case {
    const char* json;
    Units expected;
  } cases[] = {
      {R"({"functionname":"Halvorant_GetVersion"})", {{"functionname", "Halvorant_GetVersion"}}},
      {R"({"a":1,"b":true,"c":null})", {{"a", "1"}, {"b", "true"}, {"c", "null"}}},
      {R"({ "b" : "2" , "A":"1" })", {{"A", "1"}, {"b", "2"}}},
      {R"({"a":""})", {{"a", ""}}},
      {R"({a:b})", {{"a", "b"}}},  // non-strict: unquoted words are literals
      // Duplicates are kept, also in another letter case.
      {R"({"k":"x","K":"y"})", {{"K", "y"}, {"k", "x"}}},
      // Nested values: the container is a text value and its inner tokens pair up too.
      {R"({"a":{"b":"c"},"d":"e"})", {{"a", R"({"b":"c"})"}, {"b", "c"}, {"d", "e"}}},
      // Keys keep their escapes as written.
      {R"({"a\"b":"c"})", {{R"(a\"b)", "c"}}},
  };
  for (const Case& c : cases) {
    MapPtr map(getHalvorantJsonMap(c.json));
    ASSERT_NE(map, nullptr) << c.json;
    EXPECT_EQ(unitsOf(map.get()), c.expected) << c.json;
    ASSERT_NE(map->jsonText, nullptr);
    EXPECT_STREQ(map->jsonText, c.json);
  }
}

// Exactly the listed escapes are reversed, each over the whole text in turn.
TEST(JsonRead, EscapeReversal) {
  struct Case {
    const char* jsonValue;  // as written between the quotes
    const char* expected;
  } cases[] = {
      {R"(line\nnext)", "line\nnext"},
      {R"(a\rb\tc)", "a\rb\tc"},
      {R"(say \"hi\")", "say \"hi\""},
      {R"(\u000f\u000e\u001b)", "\x0f\x0e\x1b"},
      {R"(\u000F\u0041)", R"(\u000F\u0041)"},  // capital hex and other \u stay
      {R"(a\\b)", R"(a\\b)"},                   // a doubled backslash stays doubled
      {R"(a\/b\bc\fd)", R"(a\/b\bc\fd)"},
      {R"(a\\n)", "a\\\n"},  // the second backslash and n are reversed
  };
  for (const Case& c : cases) {
    const std::string json = std::string(R"({"v":")") + c.jsonValue + "\"}";
    MapPtr map(getHalvorantJsonMap(json.c_str()));
    ASSERT_NE(map, nullptr) << json;
    EXPECT_EQ(lookup(map.get(), "v"), c.expected) << json;
  }
}

TEST(JsonRead, RefusedTexts) {
  std::string pairs129 = "{";
  for (int i = 0; i < 129; ++i) pairs129 += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"v\"";
  pairs129 += "}";
  const std::string cases[] = {"{}", "", R"({"a":"b)", R"({"a":"\x"})", "]", R"({"a":"b"]})", pairs129};
  for (const std::string& json : cases) {
    HalvorantJsonMap* map = nullptr;
    const std::string out = consoleOf([&] { map = getHalvorantJsonMap(json.c_str()); });
    EXPECT_EQ(map, nullptr) << json;
    freeHalvorantJsonMap(map);
    EXPECT_TRUE(contains(out, "jsmn parse error")) << out;
    EXPECT_TRUE(contains(out, "Error json: " + json)) << out;
  }
  const std::string out = consoleOf([] { EXPECT_EQ(getHalvorantJsonMap(nullptr), nullptr); });
  EXPECT_TRUE(contains(out, "Parameter inputJsonStr is null at JsonText")) << out;
}

TEST(JsonRead, HundredTwentyEightPairsFill) {
  std::string json = "{";
  for (int i = 0; i < 128; ++i) json += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":\"" + std::to_string(i) + "\"";
  json += "}";
  MapPtr map(getHalvorantJsonMap(json.c_str()));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(map->count, 128);
  EXPECT_EQ(lookup(map.get(), "K0"), "0");
  EXPECT_EQ(lookup(map.get(), "k127"), "127");
  EXPECT_EQ(lookup(map.get(), "k64"), "64");
}

// Of duplicate keys a lookup returns the one written last, whatever the letter case.
TEST(JsonRead, DuplicateKeyLookupTakesLastInText) {
  for (const char* json : {R"({"FunctionName":"first","functionname":"last"})",
                           R"({"a":"0","functionname":"first","b":"1","FUNCTIONNAME":"mid","FunctionName":"last"})"}) {
    MapPtr map(getHalvorantJsonMap(json));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(lookup(map.get(), "functionName"), "last") << json;
    EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), "FUNCTIONNAME")), "last") << json;
  }
}

// An empty key stops reading: the pairs after it remain, sorted so that lookups work,
// and the map has no jsonText.
TEST(JsonRead, EmptyKeyStops) {
  struct Case {
    const char* json;
    Units expected;
  } cases[] = {
      {R"({"":"x","a":"b"})", {{"a", "b"}}},
      {R"({"z":"1","":"x","a":"3","b":"2"})", {{"a", "3"}, {"b", "2"}}},
      {R"({"a":"1","":"x"})", {}},
  };
  for (const Case& c : cases) {
    HalvorantJsonMap* raw = nullptr;
    const std::string out = consoleOf([&] { raw = getHalvorantJsonMap(c.json); });
    MapPtr map(raw);
    ASSERT_NE(map, nullptr) << c.json;
    EXPECT_TRUE(contains(out, "Memory allocate fail at file: JsonText")) << out;
    EXPECT_EQ(unitsOf(map.get()), c.expected) << c.json;
    EXPECT_EQ(map->jsonText, nullptr);
    for (const auto& unit : c.expected) EXPECT_EQ(lookup(map.get(), unit.first.c_str()), unit.second);
  }
}

TEST(JsonWrite, SpacingAndEncoding) {
  MapPtr map = mapOf({{"ServerVersion", "2.1"}, {"result", "0"}});
  EXPECT_EQ(textOf(getHalvorantMapString(map.get(), false)), R"({"result": "0", "ServerVersion": "2.1"})");
  EXPECT_EQ(textOf(getHalvorantMapString(map.get(), true)), R"({"result": "MA==", "ServerVersion": "Mi4x"})");

  MapPtr one = mapOf({{"empty", ""}});
  EXPECT_EQ(textOf(getHalvorantMapString(one.get(), true)), R"({"empty": ""})");
  EXPECT_EQ(textOf(getHalvorantMapString(one.get(), false)), R"({"empty": ""})");

  // Units without text are skipped.
  MapPtr empty(newHalvorantJsonMap());
  EXPECT_EQ(textOf(getHalvorantMapString(empty.get(), true)), "{}");
  const unsigned char bytes[] = {1, 2};
  addHalvorantJsonMapUnit(empty.get(), "bin", bytes, 2);
  addHalvorantJsonMapUnit(empty.get(), "none", static_cast<const char*>(nullptr));
  EXPECT_EQ(textOf(getHalvorantMapString(empty.get(), true)), "{}");
  addHalvorantJsonMapUnit(empty.get(), "z", "a\"b");  // plain values are written as they are
  EXPECT_EQ(textOf(getHalvorantMapString(empty.get(), false)), R"({"z": "a"b"})");
  EXPECT_EQ(textOf(getHalvorantMapString(empty.get(), true)), R"({"z": "YSJi"})");

  const std::string out = consoleOf([] { EXPECT_EQ(getHalvorantMapString(nullptr, true), nullptr); });
  EXPECT_TRUE(contains(out, "Parameter inputHalvorantJson is null at JsonText")) << out;
}

// What the reader takes in, the writer gives back in key order.
TEST(JsonWrite, ReadThenWrite) {
  MapPtr map(getHalvorantJsonMap(R"({"b":"2","A":"x y","c":7})"));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(textOf(getHalvorantMapString(map.get(), false)), R"({"A": "x y", "b": "2", "c": "7"})");
}

}  // namespace
