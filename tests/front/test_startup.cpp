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
