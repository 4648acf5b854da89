// The e-ID adapter over the wire against a real PC/SC daemon with a virtual reader and card:
// no daemon, an empty reader, a card, waiting on the main thread with heartbeats while the
// card goes in, removal, the daemon (and its reader) gone mid-wait, time-outs, a card held
// in another program's transaction.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>

#include "adapters/support/PcscHold.h"
#include "adapters/support/PcscSandbox.h"
#include "support/ServiceHarness.h"

namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kIdPathId = "6C83F2D4EB604F9DA027C3E4F5162738";
const std::string kReader = noxtest::kVirtualReader;
const std::string kEmptyStatus =
    "{\"reader\":\"Virtual PCD 00 00\",\"present\":false,\"atr\":null,\"protocol\":null,\"cardType\":null}";
const std::string kCardStatus =
    "{\"reader\":\"Virtual PCD 00 00\",\"present\":true,\"atr\":\"3b951381018073ff01000b\",\"protocol\":\"T=1\","
    "\"cardType\":\"Virtual smart card (ISO 7816 emulation)\"}";

std::string errorPrefix(const std::string& code) { return "{\"error\":{\"code\":\"" + code + "\",\"message\":\""; }

class IdAdapterWire : public ::testing::Test {
 protected:
  // The service always gets this process's sandbox socket, so it never meets another daemon.
  void startService() {
    noxtest::ServiceOptions options;
    options.environment.push_back(noxtest::PcscSandbox::socketEnvironment());
    service_ = std::make_unique<noxtest::Service>(options);
    ASSERT_TRUE(service_->start()) << service_->error() << service_->output();
    ASSERT_NE(service_->output().find("NoxHalvorant initialization: Success"), std::string::npos)
        << service_->output();
  }
  void TearDown() override {
    if (service_) {
      EXPECT_EQ(service_->stop(), 0) << service_->output();
    }
  }

  static std::string requestJson(const std::string& function, const std::string& extra, bool mainThread) {
    return std::string("{\"FunctionName\":\"") + function + "\",\"PathID\":\"" + kIdPathId +
           "\",\"minServerVersion\":\"1.0.0.0\"" + (extra.empty() ? "" : "," + extra) +
           (mainThread ? ",\"MainThread\":true" : "") + "}";
  }

  // One call on a new session; the adapter's result (or "heartbeat").
  static std::string call(const std::string& function, const std::string& extra = "", bool mainThread = false,
                          int port = noxtest::kPorts[0]) {
    noxtest::Request r;
    r.port = port;
    r.origin = "https://eid.test";
    r.json = requestJson(function, extra, mainThread);
    r.timeoutMs = 150000;
    noxtest::Answer a = noxtest::send(r);
    if (!a.ok()) return "transport: " + a.error;
    return a.values()["result"];
  }

  // A session opened with Echo, as the "SessionId" member of later requests.
  static std::string openSession() {
    noxtest::Answer opened =
        noxtest::postForm(noxtest::kPorts[0], "", "https://eid.test", "", requestJson("Echo", "", false));
    EXPECT_EQ(opened.values()["result"], "0") << opened.body;
    return "\"SessionId\":\"" + opened.values()["SessionID"] + "\"";
  }

  // The call repeated while it answers error code (for at most seconds); its last answer.
  static std::string callWhile(const std::string& code, const std::string& function, const std::string& extra,
                               int seconds) {
    std::string answer;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    do {
      answer = call(function, extra);
      if (answer.rfind(errorPrefix(code), 0) != 0) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    } while (std::chrono::steady_clock::now() < deadline);
    return answer;
  }

  std::unique_ptr<noxtest::Service> service_;
};

TEST_F(IdAdapterWire, WithoutDaemonEveryFunctionAnswersNoService) {
  std::error_code ignored;
  std::filesystem::remove_all(noxtest::PcscSandbox::dir() + "/run", ignored);  // no socket at all
  ASSERT_NO_FATAL_FAILURE(startService());
  for (const char* function : {"ListReaders", "GetCardStatus", "GetCardData", "WaitForCard", "WaitForRemoval"})
    EXPECT_THAT(call(function, "\"Timeout\":\"5\""), StartsWith(errorPrefix("NO_SERVICE"))) << function;

  // Bad parameters and unknown functions are refused before PC/SC is asked; there is no
  // function that sends a page's APDUs.
  struct Case {
    const char* function;
    const char* extra;
    const char* code;
  } cases[] = {
      {"WaitForCard", "\"Timeout\":\"121\"", "BAD_INPUT"},
      {"WaitForCard", "\"Timeout\":\"-1\"", "BAD_INPUT"},
      {"WaitForRemoval", "\"Timeout\":\"1.5\"", "BAD_INPUT"},
      {"WaitForCard", "\"Timeout\":\"99999999999999999999\"", "BAD_INPUT"},
      {"Transmit", "\"Apdu\":\"00A4040000\"", "BAD_INPUT"},
      {"SendApdu", "\"Apdu\":\"00A4040000\"", "BAD_INPUT"},
  };
  for (const Case& c : cases) EXPECT_THAT(call(c.function, c.extra), StartsWith(errorPrefix(c.code))) << c.extra;
  EXPECT_TRUE(service_->running());
}

TEST_F(IdAdapterWire, EmptyReader) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());

  std::string list = call("ListReaders");
  EXPECT_THAT(list, StartsWith("{\"readers\":[")) << list;
  EXPECT_THAT(list, HasSubstr("{\"name\":\"Virtual PCD 00 00\",\"cardPresent\":false,\"atr\":null,\"state\":[\"empty\"]}"))
      << list;
  EXPECT_EQ(call("GetCardStatus"), kEmptyStatus);
  EXPECT_EQ(call("GetCardStatus", "\"Reader\":\"Virtual PCD 00 00\""), kEmptyStatus);
  EXPECT_EQ(call("WaitForRemoval", "\"Timeout\":\"30\""), kEmptyStatus);  // nothing to remove: at once
  EXPECT_THAT(call("WaitForCard", "\"Timeout\":2"), StartsWith(errorPrefix("TIMEOUT")));
  EXPECT_THAT(call("WaitForCard", "\"Timeout\":\"0\",\"Reader\":\"Virtual PCD 00 00\""),
              StartsWith(errorPrefix("TIMEOUT")));
  EXPECT_THAT(call("GetCardData"), StartsWith(errorPrefix("NO_TOKEN")));
  for (const char* function : {"GetCardStatus", "WaitForCard", "WaitForRemoval", "GetCardData"})
    EXPECT_THAT(call(function, "\"Reader\":\"No Such Reader 00 00\",\"Timeout\":\"5\""),
                StartsWith(errorPrefix("NOT_FOUND")))
        << function;
}

TEST_F(IdAdapterWire, CardIsReportedAndNeverHeld) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_TRUE(pcsc.insert()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());

  EXPECT_EQ(call("GetCardStatus"), kCardStatus);
  EXPECT_EQ(call("WaitForCard", "\"Timeout\":\"5\""), kCardStatus);  // present: at once
  std::string list = call("ListReaders");
  EXPECT_THAT(list, HasSubstr("{\"name\":\"Virtual PCD 00 00\",\"cardPresent\":true,\"atr\":\"3b951381018073ff01000b\","
                              "\"state\":[\"present\""))
      << list;
  EXPECT_EQ(call("GetCardData"),
            "{\"reader\":\"Virtual PCD 00 00\",\"atr\":\"3b951381018073ff01000b\",\"cardType\":\"Virtual smart card "
            "(ISO 7816 emulation)\",\"atrInfo\":{\"valid\":true,\"convention\":\"direct\",\"protocols\":[\"T=1\"],"
            "\"historicalBytes\":\"8073ff0100\",\"categoryIndicator\":\"80\",\"objects\":[{\"tag\":\"7\",\"name\":"
            "\"card capabilities\",\"data\":\"ff0100\"}]}}");

  // The calls left no connection behind: another program gets the card exclusively.
  SCARDCONTEXT context = 0;
  ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context), SCARD_S_SUCCESS);
  SCARDHANDLE card = 0;
  DWORD protocol = 0;
  EXPECT_EQ(SCardConnect(context, noxtest::kVirtualReader, SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                         &card, &protocol),
            SCARD_S_SUCCESS);
  // While it holds the card, the status still answers (the protocol is then unknown).
  EXPECT_EQ(call("GetCardStatus"),
            "{\"reader\":\"Virtual PCD 00 00\",\"present\":true,\"atr\":\"3b951381018073ff01000b\",\"protocol\":null,"
            "\"cardType\":\"Virtual smart card (ISO 7816 emulation)\"}");
  SCardDisconnect(card, SCARD_LEAVE_CARD);
  SCardReleaseContext(context);
}

TEST_F(IdAdapterWire, WaitForCardOnTheMainThreadSendsHeartbeatsUntilTheCardIsIn) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());

  // The first answer is a heartbeat: the call is still waiting after the main-thread window.
  ASSERT_EQ(call("WaitForCard", "\"Timeout\":\"90\"", true), "heartbeat");
  ASSERT_TRUE(pcsc.insert()) << pcsc.error();
  // The page keeps polling; the answers are heartbeats until the call has seen the card.
  std::string result = "heartbeat";
  for (int poll = 0; poll < 12 && result == "heartbeat"; ++poll)
    result = call("WaitForCard", "\"Timeout\":\"90\"", true, noxtest::kPorts[poll % 3]);
  EXPECT_EQ(result, kCardStatus);
  EXPECT_GE(service_->count("send heartbeat"), 1u);
}

TEST_F(IdAdapterWire, WaitForRemovalAnswersWhenTheCardLeaves) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_TRUE(pcsc.insert()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());

  auto waiting = std::async(std::launch::async, [] { return call("WaitForRemoval", "\"Timeout\":\"90\""); });
  ASSERT_TRUE(service_->waitFor("FunctionName: WaitForRemoval", 30)) << service_->output();
  ASSERT_TRUE(pcsc.remove()) << pcsc.error();
  EXPECT_EQ(waiting.get(), kEmptyStatus);
  EXPECT_EQ(call("GetCardStatus"), kEmptyStatus);
}

// With the virtual reader, a reader can only vanish together with its daemon (pcscd does not
// re-read its serial reader configuration while it runs).
TEST_F(IdAdapterWire, DaemonAndReaderGoneMidWaitIsAnAnswer) {
  ASSERT_NO_FATAL_FAILURE(startService());
  for (const char* extra : {"\"Timeout\":\"90\"", "\"Timeout\":\"90\",\"Reader\":\"Virtual PCD 00 00\""}) {
    noxtest::PcscSandbox pcsc;
    ASSERT_TRUE(pcsc.start()) << pcsc.error();
    size_t from = service_->output().size();
    std::string request = extra;
    auto waiting = std::async(std::launch::async, [&request] { return call("WaitForCard", request); });
    ASSERT_TRUE(service_->waitFor("FunctionName: WaitForCard", 30, from)) << service_->output();
    ASSERT_TRUE(pcsc.stopDaemon()) << pcsc.error();
    EXPECT_THAT(waiting.get(), StartsWith(errorPrefix("NO_SERVICE"))) << extra;
    EXPECT_THAT(call("ListReaders"), StartsWith(errorPrefix("NO_SERVICE")));
  }
  noxtest::Answer echo = noxtest::postForm(noxtest::kPorts[0], "", "https://eid.test", "", noxtest::echoJson());
  EXPECT_EQ(echo.values()["result"], "0") << echo.body;  // the service carries on
}

// A daemon that keeps its socket but answers nothing (here: stopped by a signal) must not
// hold the call, nor later calls, beyond their time-outs.
TEST_F(IdAdapterWire, DaemonThatStopsAnsweringIsAnAnswer) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());
  // One session throughout: its adapter copy knows its own worker that is still waiting.
  std::string session = openSession();
  ASSERT_THAT(call("ListReaders", session), StartsWith("{\"readers\":["));

  ASSERT_TRUE(pcsc.freezeDaemon());
  EXPECT_THAT(call("WaitForCard", session + ",\"Timeout\":\"1\""), StartsWith(errorPrefix("NO_SERVICE")));
  EXPECT_THAT(call("GetCardStatus", session), StartsWith(errorPrefix("NO_SERVICE")));  // at once: the first is still stuck
  ASSERT_TRUE(pcsc.thawDaemon());

  // Once the daemon answers again, so does the adapter.
  EXPECT_THAT(callWhile("NO_SERVICE", "ListReaders", session, 60), HasSubstr("\"name\":\"Virtual PCD 00 00\""));
}

// A card held in another program's transaction (a PIN-pad entry, say) makes connects wait
// while pcscd answers everything else: the status answers BUSY within its limit, the same
// session's next calls start clean, and once the transaction ends the card answers again.
TEST_F(IdAdapterWire, CardHeldInAnotherProgramsTransactionIsBusy) {
  noxtest::PcscSandbox pcsc;
  ASSERT_TRUE(pcsc.start()) << pcsc.error();
  ASSERT_TRUE(pcsc.insert()) << pcsc.error();
  ASSERT_NO_FATAL_FAILURE(startService());
  std::string session = openSession();

  noxtest::CardHolder holder;
  ASSERT_TRUE(holder.hold(kReader)) << holder.error();
  auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(call("GetCardStatus", session), StartsWith(errorPrefix("BUSY")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));  // the call's limit
  // Its connect still waits; the next status says so at once, and the rest answers.
  start = std::chrono::steady_clock::now();
  EXPECT_THAT(call("GetCardStatus", session), StartsWith(errorPrefix("BUSY")));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_THAT(call("ListReaders", session), HasSubstr("\"cardPresent\":true"));
  EXPECT_THAT(call("GetCardData", session), StartsWith("{\"reader\":\"Virtual PCD 00 00\",\"atr\":"));
  EXPECT_THAT(call("WaitForCard", session + ",\"Timeout\":\"5\""), StartsWith(errorPrefix("BUSY")));

  holder.release();
  EXPECT_EQ(callWhile("BUSY", "GetCardStatus", session, 30), kCardStatus);
}

}  // namespace
