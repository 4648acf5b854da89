// Port derivation, and the service loop running main-thread calls until the shutdown routine.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "map/Json.h"

namespace {

TEST(DerivePorts, Table) {
  struct Case {
    const char* text;
    bool ok;
    int ports[3];
  };
  const Case cases[] = {
      {"port=56469 56569 56669", true, {54469, 54569, 54669}},
      {"port=2001 67535 3000", true, {1, 65535, 1000}},
      {"port=2000 56569 56669", false, {0, 0, 0}},   // would be port 0
      {"port=67536 56569 56669", false, {0, 0, 0}},  // beyond 65535
      {"port=56469 56569", false, {0, 0, 0}},
      {"ports=56469 56569 56669", false, {0, 0, 0}},
      {"port=56469 56569 56669x", false, {0, 0, 0}},
      {"", false, {0, 0, 0}},
      {nullptr, false, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    int ports[3] = {0, 0, 0};
    EXPECT_EQ(derivePorts(c.text, ports), c.ok) << (c.text ? c.text : "null");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ports[i], c.ports[i]) << (c.text ? c.text : "null");
  }
  int ports[3] = {0, 0, 0};
  ASSERT_TRUE(derivePorts(PortList, ports));
  EXPECT_EQ(ports[0], 54469);
}

// The idle exit through a run of looks: a connection's end is known to the moment, a
// holder's (session, call, value without timeout) only from the look that no longer sees
// it, a stored value's from its expiry.
TEST(IdleExit, WhenTheServiceMayEnd) {
  using std::chrono::seconds;
  const std::chrono::steady_clock::time_point t0(seconds(1000));
  const seconds after(10);
  struct Look {
    const char* what;
    int at;           // seconds after t0
    bool holders, connections;
    int lastClosed;   // seconds after t0; -1000: never
    int valuesUntil;  // seconds after t0; -1000: none
    int exitAt;       // seconds after t0
  };
  const Look looks[] = {
      {"nothing since start-up", 1, false, false, -1000, -1000, 10},
      {"a connection closed", 6, false, false, 5, -1000, 15},
      {"a connection open", 20, false, true, 5, -1000, 30},
      {"it closed", 30, false, false, 25, -1000, 35},
      {"a session", 31, true, false, 25, -1000, 41},
      {"a session and a connection", 41, true, true, 25, -1000, 51},
      {"the session went, when unknown", 51, false, false, 45, -1000, 61},
      {"a value expiring later", 61, false, false, 45, 70, 80},
      {"the value expired", 80, false, false, 45, 70, 80},
  };
  IdleWatch watch;
  watch.quietFrom = t0;
  for (const Look& look : looks) {
    IdleView view;
    view.holders = look.holders;
    view.connections = look.connections;
    if (look.lastClosed != -1000) view.lastClosed = t0 + seconds(look.lastClosed);
    if (look.valuesUntil != -1000) view.valuesUntil = t0 + seconds(look.valuesUntil);
    const auto exitAt = idleExitAt(view, t0 + seconds(look.at), after, &watch);
    EXPECT_EQ(std::chrono::duration_cast<seconds>(exitAt - t0).count(), look.exitAt) << look.what;
  }
}

TEST(MainThreadHandOff, LoopRunsCallsUntilFinal) {
  ::testing::internal::CaptureStdout();
  MainThread_Start();
  std::thread loop(runServiceLoop);
  for (int i = 0; i < 3; ++i) {
    HalvorantJsonMap* answer = nullptr;
    std::mutex lock;
    std::condition_variable changed;
    bool delivered = false;
    struct Box {
      std::mutex* lock;
      std::condition_variable* changed;
      bool* delivered;
    } box{&lock, &changed, &delivered};
    auto deliver = [](void* user, HandOffOutcome, HalvorantJsonMap* map) {
      auto* b = static_cast<Box*>(user);
      freeHalvorantJsonMap(map);
      std::lock_guard<std::mutex> guard(*b->lock);
      *b->delivered = true;
      b->changed->notify_all();
    };
    ASSERT_EQ(MainThread_Await("https://a.test", getHalvorantJsonMap("{}"), 600000, HandOff{&box, nullptr, deliver, nullptr, nullptr},
                               &answer),
              kAwaitParked);
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(30), [&] { return delivered; })) << i;
  }
  HalvorantFinal();
  loop.join();  // the close flag ends the loop
  MainThread_Stop();
  EXPECT_TRUE(HalvorantClose.load());
  HalvorantFinal();  // runs once: prints nothing more
  std::string out = ::testing::internal::GetCapturedStdout();

  size_t calls = 0;
  for (size_t at = out.find("Main thread mode call finish"); at != std::string::npos;
       at = out.find("Main thread mode call finish", at + 1))
    ++calls;
  EXPECT_EQ(calls, 3u);
  size_t released = out.find("[HalvorantFinal] \033[0m\033[32mRelease adapters success");
  size_t ready = out.find("[HalvorantFinal] \033[0m\033[32mReady to suicide");
  ASSERT_NE(released, std::string::npos);
  ASSERT_NE(ready, std::string::npos);
  EXPECT_LT(released, ready);
  EXPECT_EQ(out.find("Ready to suicide"), out.rfind("Ready to suicide"));
}

}  // namespace
