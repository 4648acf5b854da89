// Pages of different origins over the wire, on different listeners and interleaved: each
// origin's sessions, main-thread results and stored values stay its own, one origin cannot
// evict everybody, and a long call holds up no listener.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using noxtest::Answer;
using Params = std::vector<std::pair<std::string, std::string>>;

const char* const kBank = "https://bank.test";
const char* const kEvil = "https://evil.test";
const char* const kShop = "https://shop.test";

std::string json(const Params& params, bool mainThread = false) {
  std::string out = "{";
  for (const auto& p : params) out += (out.size() > 1 ? "," : "") + ("\"" + p.first + "\":\"" + p.second + "\"");
  if (mainThread) out += ",\"MainThread\":true";
  return out + "}";
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class Origins : public testing::Test {
 protected:
  // One service for the suite: every test cleans up the sessions it opened.
  static void SetUpTestSuite() {
    service_ = new noxtest::Service();
    ASSERT_TRUE(service_->start()) << service_->error() << service_->output();
    ASSERT_NE(service_->output().find("NoxHalvorant initialization: Success"), std::string::npos);
  }
  static void TearDownTestSuite() {
    EXPECT_EQ(service_->stop(), 0) << service_->output();
    delete service_;
    service_ = nullptr;
  }

  static Answer post(int port, const char* origin, const Params& params, bool mainThread = false) {
    return noxtest::postForm(port, "", origin, "", json(params, mainThread));
  }
  // Opens a crypt-adapter session for origin (page-chosen id when given); its SessionID.
  static std::string open(int port, const char* origin, const std::string& id = "", const std::string& mode = "0") {
    Params p = {{"FunctionName", "Echo"}, {"PathID", noxtest::kEchoPathId}, {"minServerVersion", "1.0.0.0"},
                {"HalvorantMode", mode}};
    if (!id.empty()) p.push_back({"SessionId", id});
    Answer a = post(port, origin, p);
    EXPECT_TRUE(a.ok()) << a.error;
    EXPECT_EQ(a.values()["result"], "0") << a.body;
    return id.empty() ? a.values()["SessionID"] : id;
  }
  static std::string digest(int port, const char* origin, const std::string& id, const std::string& data,
                            bool mainThread = false) {
    Answer a = post(port, origin, {{"SessionId", id}, {"FunctionName", "Digest"}, {"Algorithm", "SHA256"}, {"Data", data}},
                    mainThread);
    return a.ok() ? a.values()["result"] : "transport: " + a.error;
  }
  // Echo on an open session answers 0; for an id no session of origin has, the request
  // would open one but names no adapter: 61009.
  static bool alive(int port, const char* origin, const std::string& id) {
    Answer a = post(port, origin, {{"SessionId", id}, {"FunctionName", "Echo"}});
    // Without PathID a session that is not found cannot be opened: 61009.
    return a.ok() && a.values()["result"] == "0";
  }
  static void forceRelease(int port, const char* origin, const std::string& id) {
    post(port, origin, {{"SessionId", id}, {"FunctionName", "HalvorantForceRelease"}});
  }

  static noxtest::Service* service_;
};

noxtest::Service* Origins::service_ = nullptr;

const std::string kAbcSha256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

TEST_F(Origins, SessionIsFoundOnlyByItsOwnOrigin) {
  // evil's page-chosen id is a piece of every generated one, in browser mode.
  const int evilPort = noxtest::kPorts[1], bankPort = noxtest::kPorts[0];
  ASSERT_EQ(open(evilPort, kEvil, "_SID", "1"), "_SID");
  std::string bank = open(bankPort, kBank);
  ASSERT_EQ(bank.size(), 12u);

  EXPECT_EQ(digest(bankPort, kBank, bank, "abc"), kAbcSha256);
  // evil cannot reach, close or end bank's session, by any spelling of its id. Within
  // evil's own sessions the substring rule stands: its "_SID" session is the one found.
  for (const char* function : {"HalvorantRelease", "HalvorantClose", "HalvorantForceRelease"}) {
    Answer a = post(evilPort, kEvil, {{"SessionId", "x" + bank + "x"}, {"FunctionName", function}});
    ASSERT_TRUE(a.ok()) << a.error;
    EXPECT_EQ(a.values().count("result"), 0u) << function;
    EXPECT_TRUE(alive(bankPort, kBank, bank)) << function;
  }
  EXPECT_FALSE(alive(evilPort, kEvil, "_SID"));  // browser mode ended only by the force release
  EXPECT_FALSE(alive(evilPort, kEvil, bank));    // not found: 61009, nothing opened
  EXPECT_EQ(digest(bankPort, kBank, bank, "abc"), kAbcSha256);

  // The same page-chosen id in two origins names two sessions.
  ASSERT_EQ(open(evilPort, kEvil, "_SID"), "_SID");
  ASSERT_EQ(open(noxtest::kPorts[2], kShop, "_SID"), "_SID");
  forceRelease(noxtest::kPorts[2], kShop, "_SID");
  EXPECT_TRUE(alive(evilPort, kEvil, "_SID"));  // evil's own is still open
  EXPECT_FALSE(alive(noxtest::kPorts[2], kShop, "_SID"));

  // bank's release ends its session.
  post(bankPort, kBank, {{"SessionId", bank}, {"FunctionName", "HalvorantRelease"}});
  EXPECT_FALSE(alive(bankPort, kBank, bank));
  forceRelease(evilPort, kEvil, "_SID");
}

TEST_F(Origins, FullTableEvictsTheCrowdingOriginsOwnSessions) {
  std::vector<std::string> bank = {open(noxtest::kPorts[0], kBank), open(noxtest::kPorts[0], kBank)};
  std::vector<std::string> evil;
  for (int i = 0; i < 40; ++i) evil.push_back(open(noxtest::kPorts[1], kEvil));  // 32 slots: 10 of its own go
  for (const std::string& id : bank) EXPECT_TRUE(alive(noxtest::kPorts[0], kBank, id)) << id;
  // evil's oldest went, its newest are open.
  EXPECT_FALSE(alive(noxtest::kPorts[1], kEvil, evil.front()));
  EXPECT_TRUE(alive(noxtest::kPorts[1], kEvil, evil.back()));
  // An origin holding fewer than 8 evicts the oldest session of the crowding site, not
  // bank's older one.
  std::string shop = open(noxtest::kPorts[2], kShop);
  for (const std::string& id : bank) EXPECT_TRUE(alive(noxtest::kPorts[0], kBank, id)) << id;
  EXPECT_FALSE(alive(noxtest::kPorts[1], kEvil, evil[10]));  // evil[0..9] went before
  EXPECT_TRUE(alive(noxtest::kPorts[1], kEvil, evil[11]));
  EXPECT_TRUE(alive(noxtest::kPorts[2], kShop, shop));

  for (const std::string& id : bank) forceRelease(noxtest::kPorts[0], kBank, id);
  for (const std::string& id : evil) forceRelease(noxtest::kPorts[1], kEvil, id);
  forceRelease(noxtest::kPorts[2], kShop, shop);
}

TEST_F(Origins, MainThreadResultsGoToTheOriginThatStartedTheCall) {
  std::string a = open(noxtest::kPorts[0], kBank);
  std::string b = open(noxtest::kPorts[1], kEvil);
  const size_t before = service_->count("Component result: slept 3");
  const size_t from = service_->output().size();

  // bank starts a 3-second main-thread call; evil asks for its own while it runs.
  Answer bankAnswer;
  std::thread bankPage([&] {
    bankAnswer = post(noxtest::kPorts[0], kBank, {{"SessionId", a}, {"FunctionName", "Sleep"}, {"Seconds", "3"}}, true);
  });
  ASSERT_TRUE(service_->waitFor("Main thread mode call start", 30, from));
  std::vector<std::string> evilResults;
  for (int i = 0; i < 4; ++i) {
    Answer e = post(noxtest::kPorts[1], kEvil, {{"SessionId", b}, {"FunctionName", "Digest"}, {"Algorithm", "SHA256"},
                                                 {"Data", "abc"}},
                    true);
    ASSERT_TRUE(e.ok()) << e.error;
    EXPECT_EQ(e.header("Access-Control-Allow-Origin"), kEvil);
    evilResults.push_back(e.values()["result"]);
    if (evilResults.back() != "heartbeat") break;
  }
  bankPage.join();
  ASSERT_TRUE(bankAnswer.ok()) << bankAnswer.error;
  EXPECT_EQ(bankAnswer.values()["result"], "slept 3") << bankAnswer.body;
  EXPECT_EQ(bankAnswer.header("Access-Control-Allow-Origin"), kBank);
  EXPECT_EQ(evilResults.back(), kAbcSha256);  // its own call's result, never bank's
  // The started call ran once.
  EXPECT_EQ(service_->count("Component result: slept 3"), before + 1);

  // A value read on the main thread is checked against the reading page's origin.
  ASSERT_EQ(post(noxtest::kPorts[0], kBank,
                 {{"SessionId", a}, {"FunctionName", "setHalvorantValue"}, {"channel", "mt"}, {"domain_list", "bank.test"},
                  {"value", "for bank"}, {"timeout", "0"}})
                .values()["result"],
            "0");
  EXPECT_EQ(post(noxtest::kPorts[1], kEvil, {{"SessionId", b}, {"FunctionName", "getHalvorantValue"}, {"channel", "mt"}},
                 true)
                .values()["result"],
            "");
  EXPECT_EQ(post(noxtest::kPorts[0], kBank, {{"SessionId", a}, {"FunctionName", "getHalvorantValue"}, {"channel", "mt"}},
                 true)
                .values()["result"],
            "for bank");
  forceRelease(noxtest::kPorts[0], kBank, a);
  forceRelease(noxtest::kPorts[1], kEvil, b);
}

TEST_F(Origins, StoredValuesBelongToTheirWriter) {
  std::string bank = open(noxtest::kPorts[0], kBank);
  std::string evil = open(noxtest::kPorts[1], kEvil);
  std::string shop = open(noxtest::kPorts[2], kShop);
  auto set = [](int port, const char* origin, const std::string& id, const std::string& channel,
                const std::string& list, const std::string& value) {
    return post(port, origin,
                {{"SessionId", id}, {"FunctionName", "setHalvorantValue"}, {"channel", channel}, {"domain_list", list},
                 {"value", value}, {"timeout", "10"}})
        .values()["result"];
  };
  auto get = [](int port, const char* origin, const std::string& id, const std::string& channel) {
    return post(port, origin, {{"SessionId", id}, {"FunctionName", "getHalvorantValue"}, {"channel", channel}})
        .values()["result"];
  };
  ASSERT_EQ(set(noxtest::kPorts[0], kBank, bank, "pay", "shop.test", "pay to bank"), "0");
  EXPECT_EQ(set(noxtest::kPorts[1], kEvil, evil, "PAY", "*", "pay to evil"), "61005");
  EXPECT_EQ(get(noxtest::kPorts[2], kShop, shop, "pay"), "pay to bank");
  EXPECT_EQ(get(noxtest::kPorts[1], kEvil, evil, "pay"), "");  // the domain list still rules reading

  // evil gets four live channels, not the whole store; bank still gets room.
  for (int i = 0; i < 4; ++i) EXPECT_EQ(set(noxtest::kPorts[1], kEvil, evil, "e" + std::to_string(i), "*", "x"), "0");
  EXPECT_EQ(set(noxtest::kPorts[1], kEvil, evil, "e4", "*", "x"), "61019");
  EXPECT_EQ(set(noxtest::kPorts[0], kBank, bank, "second", "*", "ok"), "0");
  EXPECT_EQ(get(noxtest::kPorts[1], kEvil, evil, "second"), "ok");

  forceRelease(noxtest::kPorts[0], kBank, bank);
  forceRelease(noxtest::kPorts[1], kEvil, evil);
  forceRelease(noxtest::kPorts[2], kShop, shop);
}

// A sandboxed frame inside bank's page sends the Origin "null" and bank's page as Referer:
// the Referer names it in the answer's headers, but it acts as nobody else.
TEST_F(Origins, OpaqueOriginActsApartFromItsReferer) {
  const int bankPort = noxtest::kPorts[0], framePort = noxtest::kPorts[1];
  auto frame = [framePort](const Params& params, bool mainThread = false) {
    return noxtest::postForm(framePort, "", "null", "https://bank.test/pay/index.html", json(params, mainThread));
  };
  std::string bank = open(bankPort, kBank);
  auto bankValue = [&](const char* function, const char* value) {
    Params p = {{"SessionId", bank}, {"FunctionName", function}, {"channel", "frame-pay"}};
    if (value != nullptr) p.insert(p.end(), {{"domain_list", "*"}, {"value", value}, {"timeout", "10"}});
    return post(bankPort, kBank, p).values()["result"];
  };
  ASSERT_EQ(bankValue("setHalvorantValue", "pay 100 to Alice"), "0");

  // Its own session under an id it chooses, with calls on workers and on the main thread.
  Answer opened = frame({{"FunctionName", "Echo"}, {"PathID", noxtest::kEchoPathId}, {"minServerVersion", "1.0.0.0"},
                         {"SessionId", "frame"}});
  ASSERT_TRUE(opened.ok()) << opened.error;
  EXPECT_EQ(opened.values()["result"], "0") << opened.body;
  EXPECT_EQ(opened.header("Access-Control-Allow-Origin"), "https://bank.test");
  for (bool mainThread : {false, true}) {
    Answer a = frame({{"SessionId", "frame"}, {"FunctionName", "Digest"}, {"Algorithm", "SHA256"}, {"Data", "abc"}},
                     mainThread);
    EXPECT_EQ(a.values()["result"], kAbcSha256) << mainThread;
  }

  // Nothing of bank's: its session, its channel (even with a domain list of "*"), and the
  // other way round.
  EXPECT_EQ(frame({{"SessionId", bank}, {"FunctionName", "Echo"}}).values()["result"], "61009");
  Params write = {{"SessionId", "frame"}, {"FunctionName", "setHalvorantValue"}, {"channel", "frame-pay"},
                  {"domain_list", "*"}, {"value", "pay 999 to evil"}, {"timeout", "10"}};
  EXPECT_EQ(frame(write).values()["result"], "61005");
  EXPECT_EQ(frame({{"SessionId", "frame"}, {"FunctionName", "getHalvorantValue"}, {"channel", "frame-pay"}})
                .values()["result"],
            "");
  EXPECT_EQ(bankValue("getHalvorantValue", nullptr), "pay 100 to Alice");
  EXPECT_FALSE(alive(bankPort, kBank, "frame"));

  frame({{"SessionId", "frame"}, {"FunctionName", "HalvorantForceRelease"}});
  forceRelease(bankPort, kBank, bank);
}

TEST_F(Origins, LongCallHoldsUpNoListener) {
  std::string a = open(noxtest::kPorts[0], kBank);
  std::string b = open(noxtest::kPorts[1], kShop);
  Answer longCall;
  const size_t from = service_->output().size();
  std::thread page([&] {
    longCall = post(noxtest::kPorts[0], kBank, {{"SessionId", a}, {"FunctionName", "Sleep"}, {"Seconds", "12"}}, true);
  });
  ASSERT_TRUE(service_->waitFor("Main thread mode call start", 30, from));
  // A plain request of another page runs beside the call.
  Answer waiting;
  auto waitingStart = Clock::now();
  double waitingSeconds = 0;
  std::thread other([&] {
    waiting = post(noxtest::kPorts[1], kShop, {{"SessionId", b}, {"FunctionName", "Digest"}, {"Algorithm", "SHA256"},
                                                {"Data", "abc"}});
    waitingSeconds = secondsSince(waitingStart);
  });

  // Meanwhile, on every listener: preflights, refusals and handshakes answer at once.
  for (int port : noxtest::kPorts) {
    for (bool ipv6 : {false, true}) {
      noxtest::Request preflight;
      preflight.port = port;
      preflight.ipv6 = ipv6;
      preflight.method = "OPTIONS";
      preflight.origin = kEvil;
      preflight.headers = {"Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: true"};
      auto start = Clock::now();
      Answer p = noxtest::send(preflight);
      EXPECT_TRUE(p.ok()) << p.error;
      EXPECT_EQ(p.status, 204);
      EXPECT_LT(secondsSince(start), 3.0) << port << (ipv6 ? " v6" : " v4");

      noxtest::Request refused;
      refused.port = port;
      refused.ipv6 = ipv6;
      refused.host = "evil.test:" + std::to_string(port);
      refused.origin = kEvil;
      refused.json = noxtest::echoJson();
      start = Clock::now();
      Answer r = noxtest::send(refused);
      EXPECT_EQ(r.values()["result"], "61904") << r.body;
      EXPECT_LT(secondsSince(start), 3.0) << port << (ipv6 ? " v6" : " v4");
    }
  }
  other.join();
  page.join();
  ASSERT_TRUE(longCall.ok()) << longCall.error;
  EXPECT_TRUE(longCall.values()["result"] == "heartbeat" || longCall.values()["result"] == "slept 12");
  ASSERT_TRUE(waiting.ok()) << waiting.error;
  EXPECT_EQ(waiting.values()["result"], kAbcSha256);
  EXPECT_LT(waitingSeconds, 3.0);  // it did not wait for the call
  // Collect the long call's result (its page polls again) before cleaning up.
  for (int i = 0; i < 4 && longCall.values()["result"] == "heartbeat"; ++i)
    longCall = post(noxtest::kPorts[0], kBank, {{"SessionId", a}, {"FunctionName", "Sleep"}, {"Seconds", "12"}}, true);
  EXPECT_EQ(longCall.values()["result"], "slept 12");
  forceRelease(noxtest::kPorts[0], kBank, a);
  forceRelease(noxtest::kPorts[1], kShop, b);
}

}  // namespace
