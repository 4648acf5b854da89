// The main-thread module's own bookkeeping (calls, parked requests, deliveries) when the
// allocator fails: this program replaces operator new so that, while the module works, the
// nth allocation throws. A round of flagged requests (a call joined by a repeat, another
// origin queued behind, the heartbeat path, the expiry path, stop) is walked over every
// such allocation. A request the module could not take must be refused at once (heartbeat,
// failure reported); one it parked must be delivered exactly once; no map may leak (the
// sanitizer builds run this too), no call may stay queued or running, and the module
// works afterwards. The worker's queue of plain requests is walked the same way.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>

#include "diag/Console.h"
#include "front/MainThread.h"
#include "front/support/ParkedRequest.h"
#include "front/Worker.h"
#include "map/Json.h"

namespace {

// Counted and failed only while armed, whichever thread allocates.
std::atomic<bool> g_armed{false};
std::atomic<uint64_t> g_allocations{0};
std::atomic<uint64_t> g_failCountdown{0};

bool failThisAllocation() {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  uint64_t left = g_failCountdown.load(std::memory_order_relaxed);
  while (left != 0)
    if (g_failCountdown.compare_exchange_weak(left, left - 1)) return left == 1;
  return false;
}

}  // namespace

// Plain malloc and free underneath (the sanitizers still see every block); the compiler
// cannot tell that these free only what this operator new returned.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
void* operator new(std::size_t size) {
  if (failThisAllocation()) throw std::bad_alloc();
  if (void* memory = std::malloc(size != 0 ? size : 1)) return memory;
  throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (failThisAllocation()) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLongWindow = 600000;  // never reached by a test
// Longer than any short-string buffer, so every copy of an origin allocates.
constexpr const char* kOriginA = "https://first-origin-of-the-walk.test";
constexpr const char* kOriginB = "https://second-origin-of-the-walk.test";

// The module's own work, and nothing else, is armed.
struct Armed {
  Armed() { g_armed.store(true); }
  ~Armed() { g_armed.store(false); }
};

using fronttest::Parked;

// The processing stands outside the walk: it answers with the origin it ran for.
HalvorantJsonMap* answerOrigin(HalvorantJsonMap*, const char* origin) {
  g_armed.store(false);
  HalvorantJsonMap* answer = newHalvorantJsonMap();
  if (answer != nullptr) addHalvorantJsonMapUnit(answer, "result", origin);
  g_armed.store(true);
  return answer;
}

AwaitVerdict await(const char* origin, Parked* parked, int window = kLongWindow) {
  HalvorantJsonMap* map = newHalvorantJsonMap();
  if (map == nullptr) return kAwaitClosed;
  addHalvorantJsonMapUnit(map, "FunctionName", "Call");
  HalvorantJsonMap* answer = nullptr;
  AwaitVerdict verdict;
  try {
    Armed armed;
    verdict = MainThread_Await(origin, map, window, parked->handOff(), &answer);
  } catch (const std::bad_alloc&) {
    ADD_FAILURE() << "allocation failure escaped MainThread_Await";
    return kAwaitClosed;
  }
  // Refused requests are never parked; an answer comes only with kAwaitAnswer.
  if (verdict != kAwaitParked) {
    EXPECT_FALSE(parked->parked);
  }
  if (verdict != kAwaitAnswer) {
    EXPECT_EQ(answer, nullptr);
  }
  freeHalvorantJsonMap(answer);
  return verdict;
}

void runAll() {
  try {
    Armed armed;
    while (MainThread_RunPending(answerOrigin)) {
    }
  } catch (const std::bad_alloc&) {
    ADD_FAILURE() << "allocation failure escaped MainThread_RunPending";
  }
}

// A request the module took is delivered exactly once; one it refused never.
void expectSettled(Parked& parked, AwaitVerdict verdict, const char* what) {
  SCOPED_TRACE(what);
  if (verdict == kAwaitParked) {
    EXPECT_TRUE(parked.parked);
    EXPECT_TRUE(parked.waitDelivered()) << "parked request never delivered";
  }
  EXPECT_EQ(parked.deliveryCount(), verdict == kAwaitParked ? 1 : 0);
}

// One round of flagged requests; what each gets is checked by the caller's clean run.
void round() {
  // A call, a repeat that joins it, and another origin queued behind.
  Parked a, repeat, b;
  AwaitVerdict va = await(kOriginA, &a);
  AwaitVerdict vRepeat = await(kOriginA, &repeat);
  AwaitVerdict vb = await(kOriginB, &b);
  runAll();
  expectSettled(a, va, "call");
  expectSettled(repeat, vRepeat, "repeat");
  expectSettled(b, vb, "queued behind");

  // Heartbeat at the window, then the page's next request collects the result.
  Parked early, collect;
  AwaitVerdict vEarly = await(kOriginA, &early, 0);
  if (vEarly == kAwaitParked) {
    EXPECT_TRUE(early.waitDelivered());
  }
  runAll();
  AwaitVerdict vCollect = await(kOriginA, &collect);
  runAll();
  expectSettled(early, vEarly, "heartbeat");
  expectSettled(collect, vCollect, "collect");

  // Expiry: a result nobody collects is dropped.
  Parked late;
  AwaitVerdict vLate = await(kOriginB, &late, 0);
  if (vLate == kAwaitParked) {
    EXPECT_TRUE(late.waitDelivered());
  }
  runAll();
  try {
    Armed armed;
    MainThread_DropStale(Clock::now() + kMainThreadResultLifetime);
  } catch (const std::bad_alloc&) {
    ADD_FAILURE() << "allocation failure escaped MainThread_DropStale";
  }
  expectSettled(late, vLate, "expiry");

  // Stop closes what waits; the module starts again.
  Parked waiting;
  AwaitVerdict vWaiting = await(kOriginA, &waiting);
  try {
    Armed armed;
    MainThread_Stop();
  } catch (const std::bad_alloc&) {
    ADD_FAILURE() << "allocation failure escaped MainThread_Stop";
  }
  MainThread_Start();
  expectSettled(waiting, vWaiting, "stop");
  if (vWaiting == kAwaitParked) {
    EXPECT_EQ(waiting.outcome, kHandOffClosed);
  }
}

class MainThreadNewFailure : public testing::Test {
 protected:
  void SetUp() override { MainThread_Start(); }
  void TearDown() override {
    MainThread_Stop();
    EXPECT_EQ(MainThread_CallCount(), 0);
  }
};

TEST_F(MainThreadNewFailure, EveryAllocationOfTheModuleFailsInTurn) {
  testing::internal::CaptureStdout();
  const uint64_t before = g_allocations.load();
  round();
  const uint64_t allocations = g_allocations.load() - before;
  flushConsole();
  std::string out = testing::internal::GetCapturedStdout();
  ASSERT_FALSE(HasFailure()) << out;
  ASSERT_EQ(MainThread_CallCount(), 0);
  ASSERT_GT(allocations, 5u);

  for (uint64_t nth = 1; nth <= allocations; ++nth) {
    SCOPED_TRACE("allocation " + std::to_string(nth) + " of " + std::to_string(allocations) + " fails");
    testing::internal::CaptureStdout();
    g_failCountdown.store(nth);
    round();
    g_failCountdown.store(0);
    flushConsole();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Memory allocate fail at line: "), std::string::npos) << "failure not reported";
    EXPECT_EQ(MainThread_CallCount(), 0);
    EXPECT_FALSE(MainThread_RunPending(answerOrigin)) << "a call stayed queued";
    // The module still works: a call is parked, run and answered.
    Parked again;
    ASSERT_EQ(await(kOriginA, &again), kAwaitParked);
    runAll();
    ASSERT_TRUE(again.waitDelivered());
    EXPECT_EQ(again.outcome, kHandOffAnswer);
    EXPECT_EQ(MainThread_CallCount(), 0);
    if (HasFailure()) {
      std::cout << out.substr(0, 20000);
      break;
    }
  }
}

}  // namespace

namespace {

// The worker's queue under the same failing allocator: a request it cannot queue is refused
// unparked (nothing stays suspended, nothing throws into the listener), one it queued is
// delivered exactly once.
// The worker processes only once the test has disarmed the allocator, so that the walk
// counts the submission alone.
std::mutex g_gateLock;
std::condition_variable g_gateOpened;
bool g_gateOpen = false;

void setGate(bool open) {
  std::lock_guard<std::mutex> guard(g_gateLock);
  g_gateOpen = open;
  g_gateOpened.notify_all();
}

HalvorantJsonMap* answerAfterGate(HalvorantJsonMap*, const char* origin) {
  {
    std::unique_lock<std::mutex> guard(g_gateLock);
    g_gateOpened.wait(guard, [] { return g_gateOpen; });
  }
  HalvorantJsonMap* answer = newHalvorantJsonMap();
  if (answer != nullptr) addHalvorantJsonMapUnit(answer, "result", origin);
  return answer;
}

TEST(WorkerNewFailure, RequestIsQueuedBeforeItIsParked) {
  Worker_Start(answerAfterGate);
  bool refusedOnce = false;
  for (uint64_t nth = 1;; ++nth) {
    SCOPED_TRACE("failing allocation " + std::to_string(nth));
    Parked parked;
    HalvorantJsonMap* map = newHalvorantJsonMap();
    ASSERT_NE(map, nullptr);
    setGate(false);
    g_allocations.store(0);
    g_failCountdown.store(nth);
    bool queued = false;
    try {
      Armed armed;
      queued = Worker_Submit(kOriginA, map, parked.handOff());
    } catch (const std::bad_alloc&) {
      ADD_FAILURE() << "allocation failure escaped Worker_Submit";
    }
    const bool failed = g_failCountdown.exchange(0) == 0;
    setGate(true);
    if (!queued) {
      EXPECT_TRUE(failed) << "refused without a failed allocation";
      EXPECT_FALSE(parked.parked);
      EXPECT_EQ(parked.deliveryCount(), 0);
      refusedOnce = true;
      continue;
    }
    EXPECT_TRUE(parked.parked);
    ASSERT_TRUE(parked.waitDelivered());
    EXPECT_EQ(parked.deliveryCount(), 1);
    EXPECT_EQ(parked.outcome, kHandOffAnswer);
    if (!failed) break;  // every allocation of a submission has failed once
  }
  EXPECT_TRUE(refusedOnce) << "the walk never reached an allocation of the worker";
  Worker_Stop();
}

}  // namespace
