// Request processing on open sessions: adapter calls and their results, the masked log,
// browser mode with close and force release, the value store functions, shutdown, and
// the shipped adapters' own functions.
#include <thread>

#include "SessionTestSupport.h"
#include "crypto/AES.h"
#include "crypto/Digest.h"
#include "util/Tool.h"
#include "value/HalvorantValue.h"

namespace {

namespace fs = std::filesystem;
using sessiontest::Answer;
using sessiontest::openSlots;
using sessiontest::Params;
using sessiontest::SessionFixture;
using sessiontest::slotOf;

class SessionProcess : public SessionFixture {};

TEST_F(SessionProcess, AdapterResultsReachThePageUnchanged) {
  ASSERT_EQ(open("Res1").get("result"), "0");
  struct Case {
    const char* function;
    Params extra;
    const char* result;
  } cases[] = {
      {"Lines", {}, "first\nsecond"},
      {"Null", {}, ""},  // no text from the adapter: an empty result
      {"Param", {{"Key", "v a\"l"}}, "v a\"l"},
      {"setHalvorantValueX", {}, "called:setHalvorantValueX"},
  };
  for (const auto& c : cases) {
    Answer answer = call("Res1", c.function, c.extra);
    EXPECT_EQ(answer.get("result"), c.result) << c.function;
    EXPECT_EQ(answer.keys.size(), 1u) << c.function;
  }
}

TEST_F(SessionProcess, HideResultMasksOnlyTheLog) {
  ASSERT_EQ(open("Hide1").get("result"), "0");
  testing::internal::CaptureStdout();
  Answer answer = call("Hide1", "Param", {{"Key", "topsecret42"}, {"Key_HalvorantHide", "true"}, {"hide_result", "true"}});
  std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(answer.get("result"), "topsecret42");
  EXPECT_EQ(log.find("topsecret42"), std::string::npos);
  EXPECT_NE(log.find("***********"), std::string::npos);

  testing::internal::CaptureStdout();
  call("Hide1", "Param", {{"Key", "visible42"}, {"Key_HalvorantHide", "true"}});
  log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(" Component result: \033[0m\033[32mvisible42"), std::string::npos) << log;
}

TEST_F(SessionProcess, BrowserModeSurvivesCloseUntilForceRelease) {
  Answer opened = open("Brw1", "probe", {{"HalvorantMode", "1"}});
  ASSERT_EQ(opened.get("result"), "0");
  for (const char* function : {"HalvorantClose", "HalvorantRelease", "halvorantclose"}) {
    Answer answer = call("Brw1", function);
    ASSERT_FALSE(answer.null);
    EXPECT_TRUE(answer.keys.empty()) << function;
    EXPECT_EQ(slotOf("Brw1"), 0) << function;
  }
  // Echo on the open session: versions, no SessionID, browser mode unchanged.
  Answer echo = call("Brw1", "HalvorantEcho");
  EXPECT_EQ(echo.get("ServerVersion"), "1.0.23.0510");
  EXPECT_EQ(echo.get("LibVersion"), "1.2.3.4");
  EXPECT_EQ(echo.get("result"), "0");
  EXPECT_FALSE(echo.has("SessionID"));
  EXPECT_EQ(SessionList[0].browserMode, 1u);

  EXPECT_TRUE(call("Brw1", "HalvorantForceRelease").keys.empty());
  EXPECT_EQ(slotOf("Brw1"), -1);
  EXPECT_EQ(releaseCount(), 1);
  EXPECT_EQ(sessiontest::entries(copyDir), 0u);
}

TEST_F(SessionProcess, NormalModeEndsOnClose) {
  ASSERT_EQ(open("Nrm1").get("result"), "0");
  EXPECT_EQ(SessionList[0].browserMode, 0u);
  EXPECT_TRUE(call("Nrm1", "HalvorantClose").keys.empty());
  EXPECT_EQ(openSlots(), 0);
  EXPECT_EQ(releaseCount(), 1);
}

TEST_F(SessionProcess, ValueStoreOnOpenSession) {
  // Without a session the request opens one and goes to the adapter, not the store.
  Answer first = process({{"SessionId", "Val1"}, {"FunctionName", "setHalvorantValue"}, {"PathID", "none"},
                          {"LibDir", "Fix"}, {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"},
                          {"channel", "c1"}, {"domain_list", "a.test"}, {"value", "v1"}});
  EXPECT_EQ(first.get("result"), "called:setHalvorantValue");
  char* stored = HalvorantValue_get_value("c1", "https://a.test");
  EXPECT_STREQ(stored, "");
  freeMem(stored);

  // Sessions belong to their origin: each reading page opens its own under the same id.
  for (const char* reader : {"https://x.b.test", "https://evil.test"}) {
    Answer opened = process({{"SessionId", "Val1"}, {"FunctionName", "Probe"}, {"PathID", "none"}, {"LibDir", "Fix"},
                             {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"}},
                            reader);
    EXPECT_EQ(opened.get("result"), "called:Probe") << reader;
  }

  struct Case {
    const char* name;
    const char* function;
    Params extra;
    const char* origin;
    const char* result;
  } cases[] = {
      {"store", "setHalvorantValue", {{"channel", "c1"}, {"domain_list", "a.test;.b.test"}, {"value", "hello"},
                                      {"timeout", "5"}}, "https://a.test", "0"},
      {"read on the list", "getHalvorantValue", {{"channel", "C1"}}, "https://x.b.test", "hello"},
      {"read off the list", "getHalvorantValue", {{"channel", "c1"}}, "https://evil.test", ""},
      {"unknown channel", "getHalvorantValue", {{"channel", "none"}}, "https://a.test", ""},
      {"read without channel", "getHalvorantValue", {}, "https://a.test", "61005"},
      {"store without value", "setHalvorantValue", {{"channel", "c2"}, {"domain_list", "a.test"}},
       "https://a.test", "61005"},
      {"negative timeout", "setHalvorantValue", {{"channel", "c2"}, {"domain_list", "a.test"}, {"value", "x"},
                                                 {"timeout", "-1"}}, "https://a.test", "61005"},
  };
  for (const auto& c : cases) {
    Params params = {{"SessionId", "Val1"}, {"FunctionName", c.function}};
    params.insert(params.end(), c.extra.begin(), c.extra.end());
    Answer answer = process(params, c.origin);
    EXPECT_EQ(answer.get("result"), c.result) << c.name;
    EXPECT_EQ(answer.keys.size(), 1u) << c.name;
  }
}

// What a listener may answer itself: nothing that reaches an adapter, loads or unloads one.
// The predicate must agree with what processing then does, and print nothing.
TEST_F(SessionProcess, QuickRequestsAreThoseThatTouchNoAdapter) {
  ASSERT_EQ(open("Qck1").get("result"), "0");
  struct Case {
    const char* name;
    Params params;
    const char* origin;
    bool quick;
  } cases[] = {
      {"Echo on the open session", {{"SessionId", "Qck1"}, {"FunctionName", "Echo"}}, "https://a.test", true},
      {"Echo, any case", {{"SessionId", "Qck1"}, {"FunctionName", "halvorantecho"}}, "https://a.test", true},
      {"store", {{"SessionId", "Qck1"}, {"FunctionName", "setHalvorantValue"}}, "https://a.test", true},
      {"read", {{"SessionId", "Qck1"}, {"FunctionName", "getHalvorantValue"}}, "https://a.test", true},
      {"release without a session", {{"SessionId", "None"}, {"FunctionName", "HalvorantClose"}}, "https://a.test", true},
      {"release without an id", {{"FunctionName", "HalvorantRelease"}}, "https://a.test", true},
      {"adapter function", {{"SessionId", "Qck1"}, {"FunctionName", "Probe"}}, "https://a.test", false},
      {"near name", {{"SessionId", "Qck1"}, {"FunctionName", "setHalvorantValueX"}}, "https://a.test", false},
      {"release of the open session", {{"SessionId", "Qck1"}, {"FunctionName", "HalvorantClose"}}, "https://a.test", false},
      {"force release", {{"SessionId", "Qck1"}, {"FunctionName", "HalvorantForceRelease"}}, "https://a.test", false},
      {"Echo that opens", {{"SessionId", "None"}, {"FunctionName", "Echo"}}, "https://a.test", false},
      {"Echo of another origin's id", {{"SessionId", "Qck1"}, {"FunctionName", "Echo"}}, "https://b.test", false},
      {"no function", {{"SessionId", "Qck1"}}, "https://a.test", false},
      {"encoded function name",
       {{"SessionId", "Qck1"}, {"FunctionName", "RWNobw=="}, {"FunctionName_HalvorantBase64Flag", "true"}},
       "https://a.test", false},
      {"encoded session id",
       {{"SessionId", "UWNrMQ=="}, {"SessionId_HalvorantBase64Flag", "true"}, {"FunctionName", "Echo"}},
       "https://a.test", false},
  };
  for (const auto& c : cases) {
    std::string json = sessiontest::toJson(c.params);
    HalvorantJsonMap* request = getHalvorantJsonMap(json.c_str());
    ASSERT_NE(request, nullptr) << c.name;
    testing::internal::CaptureStdout();
    bool quick = HalvorantSession_IsQuick(request, c.origin);
    std::string printed = testing::internal::GetCapturedStdout();
    freeHalvorantJsonMap(request);
    EXPECT_EQ(quick, c.quick) << c.name;
    EXPECT_EQ(printed, "") << c.name;
  }
  EXPECT_FALSE(HalvorantSession_IsQuick(nullptr, "https://a.test"));
  EXPECT_EQ(slotOf("Qck1"), 0);
}

TEST_F(SessionProcess, FinalReleasesEverySessionAndWipesTheStore) {
  ASSERT_EQ(open("Fin1", "probe", {{"HalvorantMode", "1"}}).get("result"), "0");
  ASSERT_EQ(open("Fin2").get("result"), "0");
  ASSERT_EQ(call("Fin2", "setHalvorantValue", {{"channel", "c"}, {"domain_list", "a.test"}, {"value", "v"}})
                .get("result"),
            "0");
  HalvorantSession_Final();
  EXPECT_EQ(openSlots(), 0);
  EXPECT_EQ(releaseCount(), 2);  // browser mode does not protect at shutdown
  EXPECT_EQ(sessiontest::entries(copyDir), 0u);
  for (const HalvorantValueEntry& entry : value_list) EXPECT_EQ(entry.channel, nullptr);
}

// ---- Shipped adapters ---------------------------------------------------------------

std::string sha256(const char* text) {
  char* hex = SHA256(text);
  std::string out = hex != nullptr ? hex : "";
  freeMem(hex);
  return out;
}

TEST_F(SessionProcess, ShippedAdaptersAnswerTheirFunctions) {
  Answer crypt = process({{"SessionId", "Cry1"}, {"FunctionName", "Echo"},
                          {"PathID", "3A61F0B2C94E4D7B8E05A1C2D3F40516"}, {"minServerVersion", "1.0.0.0"},
                          {"minLibVersion", "1.0.0.1"}});
  ASSERT_EQ(crypt.get("result"), "0");
  EXPECT_EQ(call("Cry1", "Digest", {{"Algorithm", "sha256"}, {"Data", "abc"}}).get("result"), sha256("abc"));
  const std::string badInput = "{\"error\":{\"code\":\"BAD_INPUT\",\"message\":";
  EXPECT_EQ(call("Cry1", "Digest", {{"Algorithm", "MD5"}, {"Data", "abc"}}).get("result").rfind(badInput, 0), 0u);

  const std::string key(64, 'a');
  std::string cipher = call("Cry1", "Encrypt", {{"Key", key}, {"Data", "plain text"}}).get("result");
  ASSERT_EQ(cipher.size() % 32, 0u) << cipher;
  // The service's own encrypted-text form, byte for byte.
  const unsigned char rawKey[32] = {0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa,
                                    0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa,
                                    0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa};
  const unsigned char zeroIv[16] = {};
  uint64_t length = 0;
  testing::internal::CaptureStdout();
  unsigned char* own = AES256_Encrypt_CBC("plain text", rawKey, zeroIv, &length);
  testing::internal::GetCapturedStdout();
  ASSERT_NE(own, nullptr);
  char* ownHex = StringToHex(own, static_cast<int>(length));
  EXPECT_EQ(cipher, ownHex);
  freeMem(ownHex);
  freeMem(own);
  // The adapter prints nothing itself: it carries no console of its own (whose lines had an
  // empty service name and never reached the file log).
  testing::internal::CaptureStdout();
  const std::string decrypted = call("Cry1", "Decrypt", {{"Key", key}, {"Data", cipher}}).get("result");
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(decrypted, "plain text");
  EXPECT_EQ(out.find("[]["), std::string::npos) << out;
  EXPECT_EQ(call("Cry1", "Decrypt", {{"Key", std::string(64, 'b')}, {"Data", cipher}}).get("result").rfind(badInput, 0),
            0u);
  EXPECT_EQ(call("Cry1", "Encrypt", {{"Key", "abc"}, {"Data", "x"}}).get("result").rfind(badInput, 0), 0u);
  EXPECT_EQ(call("Cry1", "Sleep", {{"Seconds", "0"}}).get("result"), "slept 0");
  EXPECT_EQ(call("Cry1", "Sleep", {{"Seconds", "16"}}).get("result").rfind(badInput, 0), 0u);
  EXPECT_EQ(call("Cry1", "Nothing").get("result"),
            "{\"error\":{\"code\":\"BAD_INPUT\",\"message\":\"unknown function\"}}");
  // Off the main thread it would hold up every other page: refused.
  std::string elsewhere;
  std::thread([&] { elsewhere = call("Cry1", "Sleep", {{"Seconds", "0"}}).get("result"); }).join();
  EXPECT_EQ(elsewhere, "{\"error\":{\"code\":\"BAD_INPUT\",\"message\":\"Sleep needs a main-thread call\"}}");

  ASSERT_EQ(process({{"SessionId", "Pki1"}, {"FunctionName", "Echo"}, {"PathID", "5B72E1C3DA5F4E8C9F16B2D3E4051627"},
                     {"minServerVersion", "1.0.0.0"}})
                .get("result"),
            "0");
  // Without a dialog program the PKI adapter refuses to list (it never lists unasked);
  // its token work is covered over the wire with a private token.
  setenv("NOX_PINENTRY", "/nonexistent/pinentry", 1);
  std::string list = call("Pki1", "ListCertificates").get("result");
  unsetenv("NOX_PINENTRY");
  EXPECT_EQ(list.rfind("{\"error\":{\"code\":\"TOKEN_ERROR\"", 0), 0u) << list;
  HalvorantJsonMap* parsed = getHalvorantJsonMap(list.c_str());  // valid JSON text for pages
  EXPECT_NE(parsed, nullptr);
  freeHalvorantJsonMap(parsed);
  EXPECT_EQ(call("Pki1", "Sign").get("result").rfind(badInput, 0), 0u);

  ASSERT_EQ(process({{"SessionId", "Id1"}, {"FunctionName", "Echo"}, {"PathID", "6C83F2D4EB604F9DA027C3E4F5162738"},
                     {"minServerVersion", "1.0.0.0"}})
                .get("result"),
            "0");
  // Answers that do not depend on the machine's smart-card service.
  EXPECT_EQ(call("Id1", "WaitForCard", {{"Timeout", "121"}}).get("result"),
            "{\"error\":{\"code\":\"BAD_INPUT\",\"message\":\"Timeout must be whole seconds from 0 to 120\"}}");
  EXPECT_EQ(call("Id1", "Release").get("result"),
            "{\"error\":{\"code\":\"BAD_INPUT\",\"message\":\"unknown function Release\"}}");
}

}  // namespace
