// Port derivation and the main-thread hand-off between a handler and the service loop.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "front/Halvorant.h"

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

TEST(MainThreadHandOff, WaitWithoutLoop) {
  isCallMainThreadFinish.store(true);
  EXPECT_TRUE(waitMainThreadCall(0));  // nothing pending
  requestMainThreadCall();
  EXPECT_FALSE(isCallMainThreadFinish.load());
  EXPECT_FALSE(waitMainThreadCall(50));  // no loop runs the call
  isCallMainThreadFinish.store(true);
}

TEST(MainThreadHandOff, LoopRunsCallsUntilFinal) {
  ::testing::internal::CaptureStdout();
  std::thread loop(runServiceLoop);
  for (int i = 0; i < 3; ++i) {
    requestMainThreadCall();
    ASSERT_TRUE(waitMainThreadCall(10000)) << i;
    EXPECT_EQ(result, nullptr);  // the placeholder session manager answers nothing
  }
  HalvorantFinal();
  loop.join();  // the close flag ends the loop
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
