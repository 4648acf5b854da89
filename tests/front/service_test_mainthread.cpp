// Main-thread mode over the wire: the 7-second window, heartbeats, the result of the first
// request's map, and requests without the flag while a call is outstanding.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/ServiceHarness.h"

namespace {

using Clock = std::chrono::steady_clock;
using noxtest::Answer;

class MainThread : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.error() << service_.output();
    ASSERT_NE(service_.output().find("NoxHalvorant initialization: Success"), std::string::npos)
        << service_.output();
  }
  void TearDown() override { EXPECT_EQ(service_.stop(), 0) << service_.output(); }

  static std::string sleepJson(int seconds, bool flagged) {
    return "{\"FunctionName\":\"Sleep\",\"PathID\":\"" + std::string(noxtest::kEchoPathId) +
           "\",\"minServerVersion\":\"1.0.0.0\",\"Seconds\":\"" + std::to_string(seconds) + "\"" +
           (flagged ? ",\"MainThread\":true" : "") + "}";
  }

  // Seconds taken by one POST, and its answer.
  static double timedPost(int port, const std::string& json, Answer* answer) {
    auto start = Clock::now();
    *answer = noxtest::postForm(port, "", "https://a.test", "", json);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }

  noxtest::Service service_;
};

TEST_F(MainThread, HeartbeatsUntilTheFirstRequestsCallHasFinished) {
  Answer first;
  double firstSeconds = timedPost(noxtest::kPorts[0], sleepJson(9, true), &first);
  ASSERT_TRUE(first.ok()) << first.error;
  EXPECT_EQ(first.values(), (std::map<std::string, std::string>{{"result", "heartbeat"}})) << first.body;
  EXPECT_EQ(first.header("Access-Control-Allow-Origin"), "https://a.test");
  EXPECT_GE(firstSeconds, 6.0);
  EXPECT_LT(firstSeconds, 8.0);

  // The repeat carries other parameters: while the call runs they are not used.
  Answer second;
  double secondSeconds = timedPost(noxtest::kPorts[1], sleepJson(1, true), &second);
  ASSERT_TRUE(second.ok()) << second.error;
  EXPECT_EQ(second.values()["result"], "slept 9") << second.body;
  EXPECT_FALSE(second.values()["SessionID"].empty());
  EXPECT_LT(firstSeconds + secondSeconds, 12.0);  // answered when the call finished, not a window later

  // The slot is free again: the next flagged call starts afresh and answers at once.
  Answer third;
  double thirdSeconds = timedPost(noxtest::kPorts[2], noxtest::echoJson("\"HalvorantMainThread\":true"), &third);
  ASSERT_TRUE(third.ok()) << third.error;
  EXPECT_EQ(third.values()["result"], "0") << third.body;
  EXPECT_LT(thirdSeconds, 2.0);

  std::string out = service_.output();
  const char* sequence[] = {"Start main thread",
                            "Main thread mode call start",
                            "No result from component yet send heartbeat",
                            "Wait main thread result",
                            "Main thread mode call finish",
                            "Main thread mode finish!",
                            "Start main thread"};
  size_t at = 0;
  for (const char* line : sequence) {
    at = out.find(line, at);
    ASSERT_NE(at, std::string::npos) << "missing in order: " << line << "\n" << out;
    ++at;
  }
  EXPECT_EQ(service_.count("send heartbeat"), 1u);
}

// A request without the flag runs beside the main-thread call, with its own map, unless it
// belongs to the call's session: then it keeps its place behind the call.
TEST_F(MainThread, RequestWithoutFlagWaitsOnlyForItsOwnSession) {
  Answer opened;
  timedPost(noxtest::kPorts[0], noxtest::echoJson(), &opened);
  const std::string session = opened.values()["SessionID"];
  ASSERT_FALSE(session.empty()) << opened.body;
  const std::string inSession = "\"SessionId\":\"" + session + "\"";

  Answer flagged;
  std::string sleep = sleepJson(4, true);
  sleep.insert(1, inSession + ",");
  std::thread call([&] { timedPost(noxtest::kPorts[0], sleep, &flagged); });
  ASSERT_TRUE(service_.waitFor("Main thread mode call start", 5)) << service_.output();

  Answer other;
  double otherSeconds = timedPost(noxtest::kPorts[1], noxtest::echoJson(), &other);  // a new session
  Answer same;
  double sameSeconds = timedPost(noxtest::kPorts[2], noxtest::echoJson(inSession), &same);
  call.join();

  ASSERT_TRUE(flagged.ok()) << flagged.error;
  EXPECT_EQ(flagged.values()["result"], "slept 4") << flagged.body;
  ASSERT_TRUE(other.ok()) << other.error;
  EXPECT_EQ(other.values()["result"], "0") << other.body;  // its own Echo, not the call's map
  EXPECT_LT(otherSeconds, 1.5);                             // beside the call
  ASSERT_TRUE(same.ok()) << same.error;
  EXPECT_EQ(same.values()["result"], "0") << same.body;
  EXPECT_GE(sameSeconds, 2.0);  // behind the call of its session
  std::string out = service_.output();
  size_t slept = out.find("Component result: slept 4");
  ASSERT_NE(slept, std::string::npos) << out;
  EXPECT_LT(slept, out.rfind("Find the loaded adapter"));  // the session's Echo after its call
}

}  // namespace
