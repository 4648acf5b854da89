// Allocation failures along the whole request path: each allocation of a round of requests
// (open a session, call the adapter, store and read a value, a call on another thread as the
// main thread makes it, release) fails in turn. Nothing may crash or leak (the sanitizer
// builds run this too), every failure is reported with the allocation-failure lines, and
// after the page's release nothing of the session is left: no slot, no copy, no library.
#include <thread>

#include "SessionTestSupport.h"

namespace {

namespace fs = std::filesystem;
using sessiontest::Answer;
using sessiontest::entries;
using sessiontest::openSlots;
using sessiontest::Params;
using sessiontest::SessionFixture;

class AllocationFailure : public SessionFixture {
 protected:
  // A request whose map may itself fail to be built; the answer is released unread.
  static void request(const Params& params) {
    std::string json = sessiontest::toJson(params);
    HalvorantJsonMap* map = getHalvorantJsonMap(json.c_str());
    if (map == nullptr) return;
    char origin[] = "https://a.test";
    freeHalvorantJsonMap(HalvorantSession_Process(0, map, origin, nullptr));
    freeHalvorantJsonMap(map);
  }
  static void call(const char* id, const char* function, const Params& extra = {}) {
    Params params = {{"SessionId", id}, {"FunctionName", function}};
    params.insert(params.end(), extra.begin(), extra.end());
    request(params);
  }

  // One round of a page's requests; the answers are not judged here, only what remains.
  static void round() {
    request({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"}, {"ComName", "probe"},
             {"minServerVersion", "1.0.0.0"}, {"SessionId", "Af1"}});
    call("Af1", "Anything", {{"x", "1"}});
    call("Af1", "setHalvorantValue", {{"channel", "af"}, {"domain_list", "a.test"}, {"value", "v"}});
    call("Af1", "getHalvorantValue", {{"channel", "af"}});
    std::thread mainThread([] { call("Af1", "Anything", {{"y", "2"}}); });
    mainThread.join();
    call("Af1", "HalvorantRelease");
  }
};

TEST_F(AllocationFailure, EveryAllocationOfARoundFailsInTurn) {
  testing::internal::CaptureStdout();
  const uint64_t before = newMemSizeCalls();
  round();
  const uint64_t calls = newMemSizeCalls() - before;
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_EQ(openSlots(), 0) << out;
  ASSERT_GT(calls, 10u);

  for (uint64_t nth = 1; nth <= calls; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(calls) + " fails");
    testing::internal::CaptureStdout();
    setAllocationFailure(nth);
    round();
    setAllocationFailure(0);
    // A release that the failure hit is repeated, as the page would.
    call("Af1", "HalvorantForceRelease");
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Memory allocate fail at line: "), std::string::npos) << "failure not reported";
    expectSlotsWhole();
    // The service still works after the failure, and shutdown leaves nothing behind.
    Answer again = open("Af2");
    EXPECT_EQ(again.get("result"), "0");
    expectFinalLeavesNothing();
    if (HasFailure()) {
      std::cout << out.substr(0, 20000);
      break;
    }
  }
}

}  // namespace
