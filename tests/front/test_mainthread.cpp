// Main-thread calls: a call belongs to its origin, origins queue first come first served,
// a call runs once, heartbeats at the window, uncollected results are dropped, stop closes.
#include "front/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "map/Json.h"
#include "util/Tool.h"

namespace {

using Clock = std::chrono::steady_clock;

// One parked request: what it was delivered.
struct Parked {
  std::mutex lock;
  std::condition_variable changed;
  bool parked = false;
  bool delivered = false;
  HandOffOutcome outcome = kHandOffClosed;
  std::string result;

  HandOff handOff() { return HandOff{this, park, deliver, nullptr, this}; }  // its own peer
  static void park(void* user) { static_cast<Parked*>(user)->parked = true; }
  static void deliver(void* user, HandOffOutcome outcome, HalvorantJsonMap* answer) {
    auto* self = static_cast<Parked*>(user);
    std::lock_guard<std::mutex> guard(self->lock);
    self->delivered = true;
    self->outcome = outcome;
    if (answer != nullptr) {
      char* text = getHalvorantJsonCharType(answer, "result");
      self->result = text != nullptr ? text : "";
      freeMem(text);
      freeHalvorantJsonMap(answer);
    }
    self->changed.notify_all();
  }
  bool waitDelivered(int seconds = 30) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(seconds), [this] { return delivered; });
  }
  bool isDelivered() {
    std::lock_guard<std::mutex> guard(lock);
    return delivered;
  }
};

HalvorantJsonMap* request(const std::string& marker) {
  return getHalvorantJsonMap(("{\"Marker\":\"" + marker + "\"}").c_str());
}

// The calls the fake processing saw, in order, as "origin marker".
std::mutex g_callsLock;
std::vector<std::string> g_calls;

HalvorantJsonMap* record(HalvorantJsonMap* map, const char* origin) {
  char* marker = getHalvorantJsonCharType(map, "Marker");
  std::string call = std::string(origin) + " " + (marker != nullptr ? marker : "");
  freeMem(marker);
  {
    std::lock_guard<std::mutex> guard(g_callsLock);
    g_calls.push_back(call);
  }
  HalvorantJsonMap* answer = newHalvorantJsonMap();
  addHalvorantJsonMapUnit(answer, "result", call.c_str());
  return answer;
}

constexpr int kLongWindow = 600000;  // never reached by a test

class MainThreadCalls : public testing::Test {
 protected:
  void SetUp() override {
    g_calls.clear();
    MainThread_Start();
  }
  void TearDown() override {
    MainThread_Stop();
    EXPECT_EQ(MainThread_CallCount(), 0);
  }
  static AwaitVerdict await(const char* origin, const std::string& marker, Parked* parked,
                            int window = kLongWindow, std::string* result = nullptr) {
    HalvorantJsonMap* answer = nullptr;
    AwaitVerdict verdict = MainThread_Await(origin, request(marker), window, parked->handOff(), &answer);
    if (answer != nullptr) {
      char* text = getHalvorantJsonCharType(answer, "result");
      if (result != nullptr) *result = text != nullptr ? text : "";
      freeMem(text);
      freeHalvorantJsonMap(answer);
    }
    return verdict;
  }
};

TEST_F(MainThreadCalls, EachOriginGetsItsOwnResultInArrivalOrder) {
  Parked a1, b1, a2, b2, b3;
  ASSERT_EQ(await("https://a.test", "A-call", &a1), kAwaitParked);
  ASSERT_EQ(await("https://b.test", "B-call", &b1), kAwaitParked);
  // Repeats join their origin's call: their own parameters are not used.
  ASSERT_EQ(await("https://a.test", "A-repeat", &a2), kAwaitParked);
  ASSERT_EQ(await("https://b.test", "B-repeat", &b2), kAwaitParked);
  ASSERT_EQ(await("https://b.test", "B-repeat2", &b3), kAwaitParked);
  EXPECT_TRUE(a1.parked && b1.parked && a2.parked);
  EXPECT_EQ(MainThread_CallCount(), 2);

  ASSERT_TRUE(MainThread_RunPending(record));
  ASSERT_TRUE(a1.waitDelivered());
  EXPECT_EQ(a1.outcome, kHandOffAnswer);
  EXPECT_EQ(a1.result, "https://a.test A-call");
  ASSERT_TRUE(a2.waitDelivered());
  EXPECT_EQ(a2.outcome, kHandOffHeartbeat);  // its page comes again and starts its own call
  EXPECT_FALSE(b1.isDelivered());            // B's turn has not come

  ASSERT_TRUE(MainThread_RunPending(record));
  ASSERT_TRUE(b1.waitDelivered());
  EXPECT_EQ(b1.result, "https://b.test B-call");
  ASSERT_TRUE(b2.waitDelivered() && b3.waitDelivered());
  EXPECT_EQ(b2.outcome, kHandOffHeartbeat);
  EXPECT_EQ(b3.outcome, kHandOffHeartbeat);

  EXPECT_FALSE(MainThread_RunPending(record));
  EXPECT_EQ(g_calls, (std::vector<std::string>{"https://a.test A-call", "https://b.test B-call"}));
}

TEST_F(MainThreadCalls, HeartbeatAtTheWindowThenTheResultWaitsForItsOwner) {
  Parked first;
  ASSERT_EQ(await("https://a.test", "A-call", &first, 50), kAwaitParked);
  ASSERT_TRUE(first.waitDelivered());
  EXPECT_EQ(first.outcome, kHandOffHeartbeat);

  ASSERT_TRUE(MainThread_RunPending(record));  // nobody waits: the result is kept
  EXPECT_EQ(MainThread_CallCount(), 1);

  // Another origin neither receives nor discards it: it starts its own call.
  Parked other;
  ASSERT_EQ(await("https://b.test", "B-call", &other), kAwaitParked);
  EXPECT_EQ(MainThread_CallCount(), 2);

  Parked again;
  std::string result;
  EXPECT_EQ(await("https://a.test", "A-again", &again, kLongWindow, &result), kAwaitAnswer);
  EXPECT_EQ(result, "https://a.test A-call");
  EXPECT_FALSE(again.parked);

  ASSERT_TRUE(MainThread_RunPending(record));
  ASSERT_TRUE(other.waitDelivered());
  EXPECT_EQ(other.result, "https://b.test B-call");
  EXPECT_EQ(g_calls.size(), 2u);  // A's call ran once
}

TEST_F(MainThreadCalls, RunningCallIsJoinedNotRestarted) {
  std::mutex gate;
  gate.lock();
  static std::mutex* s_gate;
  s_gate = &gate;
  auto blocking = [](HalvorantJsonMap* map, const char* origin) -> HalvorantJsonMap* {
    std::lock_guard<std::mutex> wait(*s_gate);
    return record(map, origin);
  };
  Parked first, repeat;
  ASSERT_EQ(await("https://a.test", "A-call", &first, 50), kAwaitParked);
  std::thread main([&] { MainThread_RunPending(blocking); });
  ASSERT_TRUE(first.waitDelivered());  // heartbeat while it runs
  EXPECT_EQ(first.outcome, kHandOffHeartbeat);
  ASSERT_EQ(await("https://a.test", "A-repeat", &repeat), kAwaitParked);
  EXPECT_FALSE(MainThread_RunPending(record));  // nothing new was queued
  gate.unlock();
  main.join();
  ASSERT_TRUE(repeat.waitDelivered());
  EXPECT_EQ(repeat.result, "https://a.test A-call");
  EXPECT_EQ(g_calls, (std::vector<std::string>{"https://a.test A-call"}));
}

TEST_F(MainThreadCalls, UncollectedResultIsDroppedAfterItsLifetime) {
  Parked first;
  ASSERT_EQ(await("https://a.test", "A-call", &first, 0), kAwaitParked);
  ASSERT_TRUE(first.waitDelivered());
  ASSERT_TRUE(MainThread_RunPending(record));
  MainThread_DropStale(Clock::now() + kMainThreadResultLifetime - std::chrono::seconds(5));
  EXPECT_EQ(MainThread_CallCount(), 1);
  MainThread_DropStale(Clock::now() + kMainThreadResultLifetime);
  EXPECT_EQ(MainThread_CallCount(), 0);
  // The page's next flagged request starts a new call.
  Parked next;
  EXPECT_EQ(await("https://a.test", "A-next", &next), kAwaitParked);
  ASSERT_TRUE(MainThread_RunPending(record));
  ASSERT_TRUE(next.waitDelivered());
  EXPECT_EQ(next.result, "https://a.test A-next");
}

TEST_F(MainThreadCalls, QueueIsBoundedAndStopClosesEveryWaiter) {
  std::vector<Parked> parked(kMainThreadMaxCalls + 1);
  for (int i = 0; i < kMainThreadMaxCalls; ++i)
    ASSERT_EQ(await(("https://o" + std::to_string(i) + ".test").c_str(), "c", &parked[i]), kAwaitParked);
  EXPECT_EQ(await("https://late.test", "c", &parked.back()), kAwaitHeartbeat);
  MainThread_Stop();
  for (int i = 0; i < kMainThreadMaxCalls; ++i) {
    ASSERT_TRUE(parked[i].waitDelivered()) << i;
    EXPECT_EQ(parked[i].outcome, kHandOffClosed) << i;
  }
  Parked after;
  EXPECT_EQ(await("https://a.test", "c", &after), kAwaitClosed);
  EXPECT_FALSE(after.parked);
}

TEST_F(MainThreadCalls, ResultOfAPageWhoseConnectionClosedIsDroppedSooner) {
  Parked first;
  ASSERT_EQ(await("https://a.test", "A-call", &first, 0), kAwaitParked);
  ASSERT_TRUE(first.waitDelivered());
  ASSERT_TRUE(MainThread_RunPending(record));
  MainThread_ConnectionClosed(&first);
  const Clock::time_point closed = Clock::now();
  MainThread_DropStale(closed + kMainThreadGoneLifetime - std::chrono::seconds(2));
  EXPECT_EQ(MainThread_CallCount(), 1);
  MainThread_DropStale(closed + kMainThreadGoneLifetime + std::chrono::seconds(1));
  EXPECT_EQ(MainThread_CallCount(), 0);
}

TEST_F(MainThreadCalls, OneSiteHoldsAFewCallsAndOtherSitesStillQueue) {
  std::vector<Parked> crowd(kMainThreadCallsPerSite + 1);
  for (int i = 0; i <= kMainThreadCallsPerSite; ++i) {
    const std::string origin = "https://s" + std::to_string(i) + ".crowd.test";
    EXPECT_EQ(await(origin.c_str(), "c", &crowd[i]), i < kMainThreadCallsPerSite ? kAwaitParked : kAwaitHeartbeat)
        << origin;
  }
  Parked bank;
  EXPECT_EQ(await("https://www.bank.example", "c", &bank), kAwaitParked);
  EXPECT_EQ(MainThread_CallCount(), kMainThreadCallsPerSite + 1);
  MainThread_Stop();  // while the parked requests still exist
}

TEST_F(MainThreadCalls, CallPastItsLimitIsAbandonedAndTheMainThreadTakesNoOtherUntilItReturns) {
  MainThread_Stop();
  static std::atomic<int> s_abandoned{0};
  MainThreadOptions options;
  options.limit = std::chrono::milliseconds(100);
  options.abandon = [](pthread_t) { ++s_abandoned; };
  MainThread_Start(options);
  static std::mutex s_gate;
  s_gate.lock();
  auto blocking = [](HalvorantJsonMap* map, const char* origin) -> HalvorantJsonMap* {
    std::lock_guard<std::mutex> wait(s_gate);
    return record(map, origin);
  };
  Parked first;
  ASSERT_EQ(await("https://a.test", "A-call", &first), kAwaitParked);
  std::thread main([&] { MainThread_RunPending(blocking); });
  ASSERT_TRUE(first.waitDelivered());
  EXPECT_EQ(first.outcome, kHandOffTimedOut);
  EXPECT_EQ(s_abandoned.load(), 1);
  Parked other;
  EXPECT_EQ(await("https://b.test", "B-call", &other), kAwaitRefused);
  s_gate.unlock();
  main.join();  // its late result is discarded
  EXPECT_EQ(MainThread_CallCount(), 0);
  EXPECT_EQ(await("https://b.test", "B-call", &other), kAwaitParked);
  MainThread_Stop();  // while the parked request still exists
}

}  // namespace
