// Allocation failures on the main-thread path: every allocation of a round of flagged
// requests fails in turn. Each request is parked through MainThread_Await as a listener
// parks it, run on this thread ("main") by MainThread_RunPending with the service's own
// processRequest, and answered through its HandOff; the round also takes the heartbeat
// path (the result waits for the page's next request) and the expiry path (nobody
// collects it). Nothing may crash or leak (the sanitizer builds run this too), every
// failure is reported with the allocation-failure lines, each parked request is delivered
// exactly once, no call stays queued, no slot or adapter copy is left behind, and a normal
// call succeeds afterwards.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "front/support/ParkedRequest.h"
#include "session/SessionTestSupport.h"

namespace {

using sessiontest::entries;
using sessiontest::openSlots;
using sessiontest::Params;
using sessiontest::SessionFixture;
using Clock = std::chrono::steady_clock;

constexpr const char* kOrigin = "https://a.test";
constexpr int kLongWindow = 600000;  // never reached by a test

using fronttest::Parked;

// The "result" of an answer map; "<null>" for no map, "<absent>" for no such key.
std::string resultOf(HalvorantJsonMap* answer) {
  if (answer == nullptr) return "<null>";
  for (int i = 0; i < answer->count; ++i)
    if (strcmp(answer->units[i].key, "result") == 0)
      return answer->units[i].value != nullptr ? answer->units[i].value : "";
  return "<absent>";
}

class MainThreadAllocationFailure : public SessionFixture {
 protected:
  void SetUp() override {
    SessionFixture::SetUp();
    MainThread_Start();
  }
  void TearDown() override {
    MainThread_Stop();
    SessionFixture::TearDown();
  }

  // A flagged request of the page, as the listener hands it on, and the service loop's
  // turn after it. window 0: the request gets its heartbeat before the call runs, so the
  // result waits for the page's next request. Returns the answer's "result" ("<none>"
  // when the request's map could not be built, which the listener answers itself).
  static std::string flagged(const Params& params, int window = kLongWindow) {
    std::string json = sessiontest::toJson(params);
    HalvorantJsonMap* map = getHalvorantJsonMap(json.c_str());
    if (map == nullptr) return "<none>";
    Parked parked;
    HalvorantJsonMap* answer = nullptr;
    AwaitVerdict verdict = MainThread_Await(kOrigin, map, window, parked.handOff(), &answer);
    std::string result;
    if (verdict == kAwaitAnswer) {
      EXPECT_FALSE(parked.parked);
      result = resultOf(answer);
      freeHalvorantJsonMap(answer);
    } else {
      EXPECT_EQ(verdict, kAwaitParked);
      EXPECT_EQ(answer, nullptr);
      EXPECT_TRUE(parked.parked);
      if (window == 0) {
        EXPECT_TRUE(parked.waitDelivered()) << "no heartbeat at the window";
        EXPECT_EQ(parked.outcome, kHandOffHeartbeat);
      }
      while (MainThread_RunPending(processRequest)) {
      }
      EXPECT_TRUE(parked.waitDelivered()) << "parked request never delivered";
      if (window != 0) {
        EXPECT_EQ(parked.outcome, kHandOffAnswer);
      }
      result = parked.outcome == kHandOffAnswer ? resultOf(parked.answer) : "heartbeat";
    }
    EXPECT_LE(parked.deliveryCount(), 1) << "delivered twice";
    return result;
  }
  static std::string flaggedCall(const char* function, const Params& extra = {}, int window = kLongWindow) {
    Params params = {{"SessionId", "Af1"}, {"FunctionName", function}};
    params.insert(params.end(), extra.begin(), extra.end());
    return flagged(params, window);
  }
  static std::string flaggedOpen(const char* sessionId) {
    return flagged({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"}, {"ComName", "probe"},
                    {"minServerVersion", "1.0.0.0"}, {"SessionId", sessionId}});
  }

  // One round of a page's flagged requests; the answers are not judged here, only what
  // remains after it.
  static void round() {
    flaggedOpen("Af1");
    flaggedCall("Anything", {{"x", "1"}});
    flaggedCall("setHalvorantValue", {{"channel", "af"}, {"domain_list", "a.test"}, {"value", "v"}});
    flaggedCall("getHalvorantValue", {{"channel", "af"}});
    // Heartbeat: the call finishes with nobody waiting; the page's next request collects it.
    flaggedCall("Anything", {{"y", "2"}}, 0);
    flaggedCall("Anything", {{"y", "3"}});
    // Expiry: a result nobody collects is dropped with everything it holds.
    flaggedCall("Anything", {{"z", "4"}}, 0);
    MainThread_DropStale(Clock::now() + kMainThreadResultLifetime);
    flaggedCall("HalvorantRelease");
  }
};

TEST_F(MainThreadAllocationFailure, EveryAllocationOfAFlaggedRoundFailsInTurn) {
  testing::internal::CaptureStdout();
  const uint64_t before = newMemSizeCalls();
  round();
  const uint64_t calls = newMemSizeCalls() - before;
  flushConsole();
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(openSlots(), 0) << out;
  ASSERT_EQ(MainThread_CallCount(), 0) << out;
  ASSERT_EQ(out.find("Memory allocate fail at line: "), std::string::npos) << out;
  ASSERT_GT(calls, 10u);

  for (uint64_t nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(calls) + " fails");
    testing::internal::CaptureStdout();
    setAllocationFailure(nth);
    round();
    setAllocationFailure(0);
    // A release that the failure hit is repeated, as the page would.
    flaggedCall("HalvorantForceRelease");
    flushConsole();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Memory allocate fail at line: "), std::string::npos) << "failure not reported";
    // Nothing waits in the module: no call queued, running or holding a result.
    EXPECT_EQ(MainThread_CallCount(), 0);
    EXPECT_FALSE(MainThread_RunPending(processRequest));
    expectSlotsWhole();
    // The main-thread path still works after the failure, and shutdown leaves nothing.
    testing::internal::CaptureStdout();
    EXPECT_EQ(flaggedOpen("Af2"), "0");
    flushConsole();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(MainThread_CallCount(), 0);
    expectFinalLeavesNothing();
    if (HasFailure()) {
      std::cout << out.substr(0, 20000);
      break;
    }
  }
}

}  // namespace
