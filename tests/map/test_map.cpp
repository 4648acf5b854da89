// Parameter map: key order, lookup, insert/replace, getters, missing-key report, release.
#include <gtest/gtest.h>

#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "MapTestSupport.h"
#include "map/Json.h"

namespace {

std::vector<std::string> keysOf(const HalvorantJsonMap* map) {
  std::vector<std::string> keys;
  for (int i = 0; i < map->count; ++i) keys.emplace_back(map->units[i].key);
  return keys;
}

TEST(MapOrder, KeysSortByFoldedBytes) {
  MapPtr map = mapOf({{"Alpha", "1"}, {"beta", "2"}, {"Gamma", "3"}, {"a_b", "4"}, {"aB", "5"}});
  EXPECT_EQ(keysOf(map.get()), (std::vector<std::string>{"a_b", "aB", "Alpha", "beta", "Gamma"}));
  // Unused units stay zero.
  EXPECT_EQ(map->units[5].key, nullptr);
  EXPECT_EQ(map->jsonText, nullptr);
}

TEST(MapOrder, Comparator) {
  struct Case {
    const char* a;
    const char* b;
    int expected;
  } cases[] = {
      {"abc", "ABD", -1}, {"B", "a", 1},  {"Key", "kEY", 0},
      {"ab", "abc", -1},  // a proper prefix first
      {"_", "B", -1},     // 'B' folds to 0x62, above '_' (0x5F)
      {"\x80", "z", 1},   // bytes compare unsigned
      {"zzzzzz", "a", 1}, // normalised to 1, not a byte difference
  };
  for (const Case& c : cases) {
    HalvorantJsonUnit a{const_cast<char*>(c.a), nullptr, nullptr, 0};
    HalvorantJsonUnit b{const_cast<char*>(c.b), nullptr, nullptr, 0};
    EXPECT_EQ(compareHalvorantJsonUnit(&a, &b), c.expected) << c.a << " vs " << c.b;
  }
  HalvorantJsonUnit unit{const_cast<char*>("k"), nullptr, nullptr, 0};
  int result = 0;
  std::string out = consoleOf([&] { result = compareHalvorantJsonUnit(nullptr, &unit); });
  EXPECT_EQ(result, 100);
  EXPECT_TRUE(contains(out, "Parameter inputA is null at Json")) << out;
  out = consoleOf([&] { result = compareHalvorantJsonUnit(&unit, nullptr); });
  EXPECT_EQ(result, 100);
  EXPECT_TRUE(contains(out, "Parameter inputB is null at Json")) << out;
}

// Every key of a full map is found under any letter case, from any range that holds it.
TEST(MapLookup, FindsEveryKeyOfFullMapIgnoringCase) {
  MapPtr map(newHalvorantJsonMap());
  for (int i = 0; i < HALVORANT_JSON_MAP_UNITS; ++i) {
    const std::string key = "Key_" + std::to_string(i * 7919 % 1000);
    ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), key.c_str(), key.c_str()), HALVORANT_MAP_OK);
  }
  ASSERT_EQ(map->count, 128);
  for (int i = 0; i < HALVORANT_JSON_MAP_UNITS; ++i) {
    std::string key = map->units[i].key;
    const std::string stored = key;
    for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(lookup(map.get(), key.c_str()), stored);
  }
  EXPECT_EQ(lookup(map.get(), "Key_"), "<null>");
  EXPECT_EQ(lookup(map.get(), "Key_9999"), "<null>");
  EXPECT_EQ(lookup(map.get(), "A"), "<null>");
  EXPECT_EQ(lookup(map.get(), "zz"), "<null>");
}

TEST(MapLookup, RangeOutsideUnitsInUseIsCut) {
  MapPtr map = mapOf({{"a", "1"}, {"b", "2"}, {"c", "3"}});
  HalvorantJsonUnit probe{const_cast<char*>("c"), nullptr, nullptr, 0};
  EXPECT_EQ(textOf(BinarySearchHalvorantJsonMap(map.get(), &probe, -5, 1000)), "3");
  probe.key = const_cast<char*>("d");
  EXPECT_EQ(textOf(BinarySearchHalvorantJsonMap(map.get(), &probe, 0, 1000)), "<null>");
  MapPtr empty(newHalvorantJsonMap());
  EXPECT_EQ(lookup(empty.get(), "a"), "<null>");
  EXPECT_FALSE(hasHalvorantJsonKey(empty.get(), "a"));
}

TEST(MapInsert, ReplaceKeepsFirstSpellingAndPlace) {
  MapPtr map = mapOf({{"result", "0"}, {"SessionID", "s"}});
  ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), "RESULT", "61009"), HALVORANT_MAP_OK);
  EXPECT_EQ(map->count, 2);
  EXPECT_STREQ(map->units[0].key, "result");
  EXPECT_EQ(lookup(map.get(), "result"), "61009");
  // A null value clears the text; the key is then absent to hasHalvorantJsonKey.
  addHalvorantJsonMapUnit(map.get(), "sessionid", static_cast<const char*>(nullptr));
  EXPECT_EQ(map->count, 2);
  EXPECT_FALSE(hasHalvorantJsonKey(map.get(), "SessionID"));
}

TEST(MapInsert, NumbersAreDecimalText) {
  MapPtr map(newHalvorantJsonMap());
  addHalvorantJsonMapUnit(map.get(), "result", 61906);
  addHalvorantJsonMapUnit(map.get(), "negative", -5);
  addHalvorantJsonMapUnit(map.get(), "min", INT32_MIN);
  EXPECT_EQ(lookup(map.get(), "result"), "61906");
  EXPECT_EQ(lookup(map.get(), "negative"), "-5");
  EXPECT_EQ(lookup(map.get(), "min"), "-2147483648");
}

TEST(MapInsert, FullMapDropsNewKeysButReplaces) {
  MapPtr map(newHalvorantJsonMap());
  for (int i = 0; i < 128; ++i) addHalvorantJsonMapUnit(map.get(), ("k" + std::to_string(i)).c_str(), i);
  const unsigned char bytes[] = {1, 2};
  EXPECT_EQ(consoleOf([&] {
              EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "new", "x"), HALVORANT_MAP_FULL);
              EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "new", 1), HALVORANT_MAP_FULL);
              EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "new", bytes, 2), HALVORANT_MAP_FULL);
            }),
            "");  // silently
  EXPECT_EQ(map->count, 128);
  EXPECT_FALSE(hasHalvorantJsonKey(map.get(), "new"));
  EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "K127", "replaced"), HALVORANT_MAP_OK);
  EXPECT_EQ(lookup(map.get(), "k127"), "replaced");
  EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "k5", bytes, 2), HALVORANT_MAP_OK);
  EXPECT_EQ(map->count, 128);
}

TEST(MapInsert, BytesBesideText) {
  MapPtr map = mapOf({{"both", "text"}});
  const unsigned char bytes[] = {'b', 0, 'c'};
  ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), "BOTH", bytes, 3), HALVORANT_MAP_OK);
  ASSERT_EQ(addHalvorantJsonMapUnit(map.get(), "bin", bytes, 3), HALVORANT_MAP_OK);
  EXPECT_EQ(map->count, 2);
  EXPECT_EQ(lookup(map.get(), "both"), "text");  // text wins
  const HalvorantJsonUnit& both = map->units[1];
  ASSERT_STREQ(both.key, "both");
  EXPECT_EQ(both.dataLength, 3u);
  // A text insert leaves the bytes alone.
  addHalvorantJsonMapUnit(map.get(), "both", "text2");
  EXPECT_EQ(map->units[1].dataLength, 3u);
  EXPECT_EQ(std::memcmp(map->units[1].data, bytes, 3), 0);

  // A binary-only lookup is the bytes plus a zero byte, safe to read as text.
  HalvorantJsonUnit probe{const_cast<char*>("bin"), nullptr, nullptr, 0};
  TextPtr found(BinarySearchHalvorantJsonMap(map.get(), &probe, 0, map->count - 1));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(std::memcmp(found.get(), bytes, 3), 0);
  EXPECT_EQ(found.get()[3], '\0');
  EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), "bin")), "b");
  EXPECT_TRUE(hasHalvorantJsonKey(map.get(), "bin"));

  // Length 0 does nothing.
  EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), "zero", bytes, 0), HALVORANT_MAP_OK);
  EXPECT_FALSE(hasHalvorantJsonKey(map.get(), "zero"));
  EXPECT_EQ(map->count, 2);
}

// A byte buffer that cannot be allocated: the allocation-failure lines, no new unit,
// and a replaced unit is left without data (its text stays).
TEST(MapInsert, ByteAllocationFailure) {
  MapPtr map = mapOf({{"both", "text"}});
  const unsigned char bytes[] = {1};
  addHalvorantJsonMapUnit(map.get(), "both", bytes, 1);
  const uint64_t tooLarge = uint64_t{1} << 31;  // refused by the allocator before any read
  int32_t result = 0;
  std::string out = consoleOf([&] { result = addHalvorantJsonMapUnit(map.get(), "other", bytes, tooLarge); });
  EXPECT_EQ(result, HALVORANT_MAP_NO_MEMORY);
  EXPECT_TRUE(contains(out, "Memory allocate fail at file: Json")) << out;
  EXPECT_TRUE(contains(out, "Memory allocate fail at line: ")) << out;
  EXPECT_EQ(map->count, 1);
  out = consoleOf([&] { result = addHalvorantJsonMapUnit(map.get(), "BOTH", bytes, tooLarge); });
  EXPECT_EQ(result, HALVORANT_MAP_NO_MEMORY);
  EXPECT_TRUE(contains(out, "Memory allocate fail at file: Json")) << out;
  EXPECT_EQ(map->units[0].data, nullptr);
  EXPECT_EQ(map->units[0].dataLength, 0u);
  EXPECT_EQ(lookup(map.get(), "both"), "text");
}

TEST(MapGetters, Conversions) {
  MapPtr map = mapOf({{"t1", "true"},   {"t2", "TRUE"},    {"f1", "False"}, {"n1", "12abc"},
                      {"n2", "abc"},    {"n3", "-5"},      {"n4", "  42x"}, {"big", "99999999999"},
                      {"b1", "True"},   {"b2", "1"},       {"b3", "true "}, {"b4", "trueish"},
                      {"d1", "1.5e3x"}, {"d2", " -0.25"}});
  struct LongCase {
    const char* key;
    int64_t expected;
  } longs[] = {{"t1", 1}, {"t2", 1}, {"f1", 0}, {"n1", 12}, {"n2", 0}, {"n3", -5}, {"n4", 42},
               {"big", 99999999999LL}, {"missing", 0}, {"b3", 0}};
  for (const LongCase& c : longs) EXPECT_EQ(getHalvorantJsonLongType(map.get(), c.key), c.expected) << c.key;
  EXPECT_EQ(getHalvorantJsonIntType(map.get(), "n3"), -5);
  EXPECT_EQ(getHalvorantJsonIntType(map.get(), "T1"), 1);
  EXPECT_EQ(getHalvorantJsonIntType(map.get(), "big"), INT32_MAX);  // clamped, not wrapped

  struct BoolCase {
    const char* key;
    bool expected;
  } bools[] = {{"b1", true}, {"t2", true}, {"b2", false}, {"b3", false}, {"b4", false}, {"missing", false}};
  for (const BoolCase& c : bools) EXPECT_EQ(getHalvorantJsonBoolType(map.get(), c.key), c.expected) << c.key;

  EXPECT_DOUBLE_EQ(getHalvorantJsonDoubleType(map.get(), "d1"), 1500.0);
  EXPECT_DOUBLE_EQ(getHalvorantJsonDoubleType(map.get(), "d2"), -0.25);
  EXPECT_DOUBLE_EQ(getHalvorantJsonDoubleType(map.get(), "n2"), 0.0);
  EXPECT_FLOAT_EQ(getHalvorantJsonFloatType(map.get(), "d1"), 1500.0f);
  EXPECT_FLOAT_EQ(getHalvorantJsonFloatType(map.get(), "missing"), 0.0f);

  EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), "N1")), "12abc");
  EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), "missing")), "<null>");
}

TEST(MapReport, MissingKeyReport) {
  MapPtr map = mapOf({{"functionname", "f"}});
  setJsonCheck(true);
  EXPECT_EQ(getJsonErrorCode(), 0);
  std::string out = consoleOf([&] { EXPECT_FALSE(hasHalvorantJsonKey(map.get(), "InstallerName")); });
  EXPECT_TRUE(contains(out, "Json map key not found: InstallerName")) << out;
  EXPECT_EQ(getJsonErrorCode(), 61016);

  setJsonCheck(true);  // resets
  EXPECT_EQ(getJsonErrorCode(), 0);
  for (const char* quiet : {"HalvorantMode", "x_topui_y", "path_HalvorantFlag"}) {
    EXPECT_EQ(consoleOf([&] { EXPECT_EQ(getHalvorantJsonCharType(map.get(), quiet), nullptr); }), "") << quiet;
  }
  EXPECT_EQ(getJsonErrorCode(), 0);
  // Present keys never report; "halvorant" in lower case is not exempt (case-sensitive test).
  EXPECT_EQ(consoleOf([&] { getHalvorantJsonIntType(map.get(), "FUNCTIONNAME"); }), "");
  out = consoleOf([&] { getHalvorantJsonIntType(map.get(), "halvorant_lower"); });
  EXPECT_TRUE(contains(out, "Json map key not found: halvorant_lower")) << out;

  // An empty map reports too.
  setJsonCheck(true);
  MapPtr empty(newHalvorantJsonMap());
  out = consoleOf([&] { getHalvorantJsonBoolType(empty.get(), "SessionId"); });
  EXPECT_TRUE(contains(out, "Json map key not found: SessionId")) << out;
  EXPECT_EQ(getJsonErrorCode(), 61016);

  setJsonCheck(false);
  EXPECT_EQ(consoleOf([&] { hasHalvorantJsonKey(map.get(), "other"); }), "");
  EXPECT_EQ(getJsonErrorCode(), 61016);  // switching off leaves the code
}

TEST(MapNullArguments, WarnAndReturnEmptyResult) {
  MapPtr map = mapOf({{"k", "v"}});
  const unsigned char bytes[] = {1};
  struct Case {
    const char* name;
    std::function<void()> call;
  } cases[] = {
      {"inputHalvorantJson", [&] { EXPECT_EQ(addHalvorantJsonMapUnit(nullptr, "k", "v"), HALVORANT_MAP_NULL_ARG); }},
      {"Key", [&] { EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), nullptr, "v"), HALVORANT_MAP_NULL_ARG); }},
      {"Key", [&] { EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), nullptr, 5), HALVORANT_MAP_NULL_ARG); }},
      {"Key", [&] { EXPECT_EQ(addHalvorantJsonMapUnit(map.get(), nullptr, bytes, 1), HALVORANT_MAP_NULL_ARG); }},
      {"inputHalvorantJson", [&] { EXPECT_EQ(getHalvorantJsonCharType(nullptr, "k"), nullptr); }},
      {"inputKey", [&] { EXPECT_EQ(getHalvorantJsonCharType(map.get(), nullptr), nullptr); }},
      {"inputKey", [&] { EXPECT_EQ(getHalvorantJsonLongType(map.get(), nullptr), 0); }},
      {"inputKey", [&] { EXPECT_EQ(getHalvorantJsonIntType(map.get(), nullptr), 0); }},
      {"inputKey", [&] { EXPECT_EQ(getHalvorantJsonDoubleType(map.get(), nullptr), 0.0); }},
      {"inputKey", [&] { EXPECT_EQ(getHalvorantJsonFloatType(map.get(), nullptr), 0.0f); }},
      {"inputHalvorantJson", [&] { EXPECT_FALSE(getHalvorantJsonBoolType(nullptr, "k")); }},
      {"inputKey", [&] { EXPECT_FALSE(hasHalvorantJsonKey(map.get(), nullptr)); }},
      {"inputHalvorantJson", [&] { EXPECT_EQ(BinarySearchHalvorantJsonMap(nullptr, nullptr, 0, 0), nullptr); }},
  };
  for (const Case& c : cases) {
    const std::string out = consoleOf(c.call);
    EXPECT_TRUE(contains(out, std::string("Parameter ") + c.name + " is null at ")) << out;
  }
  EXPECT_EQ(map->count, 1);
  EXPECT_EQ(lookup(map.get(), "k"), "v");
  freeHalvorantJsonMap(nullptr);  // ignored
}

}  // namespace
