// Decoding flags of a parameter, encrypted parameters and the console display of a map.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "MapTestSupport.h"
#include "crypto/AES.h"
#include "map/Json.h"

namespace {

const char* const kSecret = "A1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6-extra";

std::string hexOf(const unsigned char* bytes, uint64_t length, bool upper = true) {
  std::string hex;
  char digits[3];
  for (uint64_t i = 0; i < length; ++i) {
    std::snprintf(digits, sizeof digits, upper ? "%02X" : "%02x", bytes[i]);
    hex += digits;
  }
  return hex;
}

// The hex cipher text of text under the first 32 bytes of secret, as a page makes it.
std::string encryptedHex(const char* text, const char* secret, bool upper = true) {
  uint64_t length = 0;
  unsigned char* cipher = AES256_Encrypt_CBC(text, reinterpret_cast<const unsigned char*>(secret),
                                             HALVORANT_PARAMETER_IV, &length);
  EXPECT_NE(cipher, nullptr);
  const std::string hex = cipher == nullptr ? std::string() : hexOf(cipher, length, upper);
  freeMem(cipher);
  return hex;
}

size_t occurrences(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST(Flags, DecodingTable) {
  const std::string longKey(500, 'k');
  const std::string cutFlag = (longKey + "_HalvorantFlag").substr(0, 511);
  struct Case {
    const char* name;
    MapPtr map;
    std::string key;
    std::string value;
    std::string expected;
  } cases[] = {
      {"star", mapOf({{"path_HalvorantFlag", "true"}}), "path", "C:*dir*file", "C:\\dir\\file"},
      {"slash", mapOf({{"path_HalvorantSlashFlag", "TRUE"}}), "path", "a==HalvorantSlash==b", "a\\b"},
      {"base64", mapOf({{"v_HalvorantBase64Flag", "True"}}), "v", "aGk%3D", "hi"},
      {"star before base64", mapOf({{"v_HalvorantFlag", "true"}, {"v_HalvorantBase64Flag", "true"}}), "v",
       "aGk*", "aGk\\"},
      {"slash before base64", mapOf({{"v_HalvorantSlashFlag", "true"}, {"v_HalvorantBase64Flag", "true"}}),
       "v", "aGk=", "aGk="},
      {"flag key ignores case", mapOf({{"PATH_halvorantflag", "true"}}), "Path", "a*b", "a\\b"},
      {"yes", mapOf({{"v_HalvorantFlag", "yes"}}), "v", "a*b", "a*b"},
      {"1", mapOf({{"v_HalvorantFlag", "1"}}), "v", "a*b", "a*b"},
      {"trailing blank", mapOf({{"v_HalvorantFlag", "true "}}), "v", "a*b", "a*b"},
      {"no flag", mapOf({{"other_HalvorantFlag", "true"}}), "v", "a*b", "a*b"},
      // A flag key that does not fit 511 bytes is never set, even if its cut form is present.
      {"cut flag key", mapOf({{cutFlag.c_str(), "true"}}), longKey, "a*b", "a*b"},
      // Decoded values keep their backslash-quote pairs.
      {"base64 keeps \\\"", mapOf({{"v_HalvorantBase64Flag", "true"}}), "v", "c2F5IFwiaGlcIg==",
       "say \\\"hi\\\""},
      {"star keeps \\\"", mapOf({{"v_HalvorantFlag", "true"}}), "v", "*\"", "\\\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(textOf(fixParameter(c.map.get(), c.key.c_str(), c.value.c_str())), c.expected) << c.name;
  }
}

TEST(Flags, GettersDecode) {
  MapPtr map(getHalvorantJsonMap(
      R"({"path":"C:*dir*file","path_HalvorantFlag":"true","n":"NDI=","n_HalvorantBase64Flag":"true",)"
      R"("b":"VHJ1ZQ==","B_HalvorantBase64Flag":"TRUE"})"));
  ASSERT_NE(map, nullptr);
  EXPECT_EQ(textOf(getHalvorantJsonCharType(map.get(), "path")), "C:\\dir\\file");
  EXPECT_EQ(getHalvorantJsonIntType(map.get(), "n"), 42);
  EXPECT_TRUE(getHalvorantJsonBoolType(map.get(), "b"));
  // The lookup itself does not decode.
  EXPECT_EQ(lookup(map.get(), "path"), "C:*dir*file");
}

TEST(Flags, NullArguments) {
  MapPtr map = mapOf({{"v_HalvorantFlag", "true"}});
  struct Case {
    const char* name;
    std::function<char*()> call;
    const char* expected;
  } cases[] = {
      {"inputHalvorantJson", [] { return fixParameter(nullptr, "v", "a*b"); }, "a*b"},
      {"inputKey", [&] { return fixParameter(map.get(), nullptr, "a*b"); }, "a*b"},
      {"inputValue", [&] { return fixParameter(map.get(), "v", nullptr); }, "<null>"},
  };
  for (const Case& c : cases) {
    std::string result;
    const std::string out = consoleOf([&] { result = textOf(c.call()); });
    EXPECT_EQ(result, c.expected) << c.name;
    EXPECT_TRUE(contains(out, std::string("Parameter ") + c.name + " is null at JsonFlag")) << out;
  }
}

TEST(FlagsEncrypted, DecryptsWithSharedSecret) {
  for (bool upper : {true, false}) {
    const std::string hex = encryptedHex("line \\\"one\\\"", kSecret, upper);
    MapPtr map = mapOf({{"value", hex.c_str()}, {"value_HalvorantEncryptFlag", "true"},
                        {"value_HalvorantBase64Flag", "true"}, {"Halvorant_share_secret", kSecret}});
    std::string result;
    const std::string out = consoleOf([&] { result = textOf(getHalvorantJsonCharType(map.get(), "value")); });
    EXPECT_EQ(result, "line \\\"one\\\"");  // as encrypted: no Base64, no quote change
    EXPECT_TRUE(contains(out, "= DISPLAY PARAMETER ===== start =====")) << out;
    EXPECT_TRUE(contains(out, "find key: Halvorant_share_secret")) << out;
    EXPECT_FALSE(contains(out, "Memory allocate fail")) << out;
  }
}

// Every failure leaves the hex text undecoded, after the allocation-failure lines.
TEST(FlagsEncrypted, FailuresKeepValue) {
  const std::string shortSecret(kSecret, 31);
  const std::string good = encryptedHex("text", kSecret);
  // What a reader of 32 bytes from a 31-byte secret would use: the secret and its NUL.
  const std::string padded = encryptedHex("text", (shortSecret + std::string(1, '\0')).c_str());
  struct Case {
    const char* name;
    std::string value;
    const char* secret;  // null: no secret in the map
  } cases[] = {
      {"no secret", good, nullptr},
      {"short secret", padded, shortSecret.c_str()},
      {"wrong secret", good, "B1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6"},
      {"damaged hex", good.substr(0, good.size() - 2), kSecret},
      {"empty value", "", kSecret},
      {"not hex", "zz", kSecret},
  };
  for (const Case& c : cases) {
    MapPtr map = mapOf({{"v", c.value.c_str()}, {"v_HalvorantEncryptFlag", "TRUE"}});
    if (c.secret != nullptr) addHalvorantJsonMapUnit(map.get(), "Halvorant_share_secret", c.secret);
    std::string result;
    const std::string out = consoleOf([&] { result = textOf(getHalvorantJsonCharType(map.get(), "v")); });
    EXPECT_EQ(result, c.value) << c.name;
    EXPECT_TRUE(contains(out, "= DISPLAY PARAMETER ===== end =====")) << c.name << out;
    EXPECT_TRUE(contains(out, "find key: Halvorant_share_secret")) << c.name << out;
    EXPECT_TRUE(contains(out, "Memory allocate fail at file: JsonFlag")) << c.name << out;
  }
}

std::string readDocs() {
  std::ifstream in(NOX_SOURCE_DIR "/docs/page-authors-encryption.md");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The page authors' worked example, byte for byte.
TEST(FlagsEncrypted, DocumentedExample) {
  const char* const secret = "A1b2C3d4E5f6G7h8I9j0K1l2M3n4O5p6-extra";
  const char* const value = "secret PIN 1234";
  const char* const cipherHex = "DCDA1054D02D7C0F69988FB3A141794ADB3347754FE62939E26ADBD640D0205E";
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(HALVORANT_PARAMETER_IV), 16), "NoxHalvorant-IV1");
  EXPECT_EQ(encryptedHex(value, secret), cipherHex);

  const std::string docs = readDocs();
  const std::string request = std::string(R"({"FunctionName":"Sign","PIN":")") + cipherHex +
                              R"(","PIN_HalvorantEncryptFlag":"true","Halvorant_share_secret":")" + secret + "\"}";
  for (const std::string& part : {std::string("`") + secret + "`", std::string("`") + value + "`",
                                  std::string("`") + cipherHex + "`", std::string("`NoxHalvorant-IV1`"),
                                  std::string("4E6F7848616C766F72616E742D495631"), request})
    EXPECT_TRUE(contains(docs, part)) << part;

  MapPtr map(getHalvorantJsonMap(request.c_str()));
  ASSERT_NE(map, nullptr);
  std::string result;
  consoleOf([&] { result = textOf(getHalvorantJsonCharType(map.get(), "pin")); });
  EXPECT_EQ(result, value);
}

TEST(Display, MaskingRules) {
  MapPtr map = mapOf({{"pin", "12345"},
                      {"pin_HalvorantHide", "false"},
                      {"UserPW", "pw"},
                      {"Password", "pass"},
                      {"Spinner", "spin"},
                      {"Halvorant_share_secret", "shared"},
                      {"name", "Alice"},
                      {"name_HalvorantHide", "true"},
                      {"other", "Bob"},
                      {"other_HalvorantHide", "yes"},
                      {"plain", ""},
                      {"cleared", nullptr}});
  const unsigned char bytes[] = {1, 2};
  addHalvorantJsonMapUnit(map.get(), "blob", bytes, 2);
  const std::string out = consoleOf([&] { showHalvorantJsonMap(map.get()); });
  for (const char* line : {"pin: *****\n", "UserPW: **\n", "Password: ****\n", "Spinner: ****\n",
                           "Halvorant_share_secret: shared\n", "name: *****\n", "name_HalvorantHide: true\n",
                           "other: Bob\n", "other_HalvorantHide: yes\n", "pin_HalvorantHide: false\n",
                           "plain: \n", "cleared: [empty]\n", "blob: [binary_value]\n",
                           "= DISPLAY PARAMETER ===== start =====\n", "= DISPLAY PARAMETER ===== end =====\n"})
    EXPECT_TRUE(contains(out, line)) << line << out;
  EXPECT_LT(out.find("blob: "), out.find("cleared: "));  // map order

  const std::string none = consoleOf([] { showHalvorantJsonMap(nullptr); });
  EXPECT_TRUE(contains(none, "===== start =====")) << none;
  EXPECT_TRUE(contains(none, "===== end =====")) << none;
  EXPECT_EQ(occurrences(none, "\n"), 2u);
}

// The display never decodes a hide flag (each decoding would cost a decryption per line
// and display the map again): one that needs decoding masks its value, whatever it says.
TEST(Display, EncodedHideFlagIsNotDecodedAndMasks) {
  const std::string hiddenFlag = encryptedHex("true", kSecret);
  const std::string shownFlag = encryptedHex("false", kSecret);
  MapPtr map = mapOf({{"name", "Alice"},
                      {"name_HalvorantHide", hiddenFlag.c_str()},
                      {"name_HalvorantHide_HalvorantEncryptFlag", "true"},
                      {"city", "Paris"},
                      {"city_HalvorantHide", shownFlag.c_str()},
                      {"city_HalvorantHide_HalvorantEncryptFlag", "true"},
                      {"zip", "12345"},
                      {"zip_HalvorantHide", "dHJ1ZQ=="},
                      {"zip_HalvorantHide_HalvorantBase64Flag", "true"},
                      {"Halvorant_share_secret", kSecret}});
  const std::string out = consoleOf([&] { showHalvorantJsonMap(map.get()); });
  EXPECT_TRUE(contains(out, "name: *****\n")) << out;
  EXPECT_TRUE(contains(out, "city: *****\n")) << out;
  EXPECT_TRUE(contains(out, "zip: *****\n")) << out;
  EXPECT_FALSE(contains(out, "find key: ")) << out;  // nothing was decrypted
  EXPECT_EQ(occurrences(out, "===== start ====="), 1u) << out;
  EXPECT_EQ(occurrences(out, "===== end ====="), 1u) << out;
  // The guard is released afterwards: a later display lists again.
  EXPECT_EQ(occurrences(consoleOf([&] { showHalvorantJsonMap(map.get()); }), "===== start ====="), 1u);
}

TEST(Display, FromBrowserText) {
  const char* json = R"({"FunctionName":"Sign","pin":"1234"})";
  std::string out = consoleOf([&] { showParamterFromBrowser(json); });
  EXPECT_TRUE(contains(out, std::string("Base64DecodedJsonStr: ") + json)) << out;
  EXPECT_TRUE(contains(out, "FunctionName: Sign\n")) << out;
  EXPECT_TRUE(contains(out, "pin: ****\n")) << out;

  out = consoleOf([] { showParamterFromBrowser("{}"); });
  EXPECT_TRUE(contains(out, "jsmn parse error")) << out;
  EXPECT_TRUE(contains(out, "Memory allocate fail at file: JsonFlag")) << out;
  EXPECT_FALSE(contains(out, "DISPLAY PARAMETER")) << out;

  out = consoleOf([] { showParamterFromBrowser(nullptr); });
  EXPECT_TRUE(contains(out, "Parameter inputBase64DecodedJsonStr is null at JsonFlag")) << out;
}

}  // namespace
