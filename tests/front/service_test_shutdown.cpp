// Shutdown under load: once it has begun nothing new is processed, every session opened
// before is released, and no adapter copy stays in the work directory.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

namespace fs = std::filesystem;

std::vector<std::string> adapterCopies() {
  std::vector<std::string> copies;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(noxtest::kWorkDir, ec)) {
    std::string name = entry.path().filename();
    if (name.find(".dylib") != std::string::npos) copies.push_back(name);
  }
  return copies;
}

TEST(Shutdown, StopUnderLoadProcessesNothingNewAndLeavesNoCopy) {
  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();

  // Clients open sessions (each request without a session id opens one) on all ports
  // until the service has gone; each is bounded in requests.
  std::atomic<int> answered{0};
  std::atomic<bool> gone{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([&, i] {
      noxtest::Client client;
      for (int n = 0; n < 400 && !gone.load(); ++n) {
        noxtest::Request r;
        r.port = noxtest::kPorts[i % 3];
        r.ipv6 = i == 3;
        r.origin = "https://a.test";
        r.json = noxtest::echoJson();
        r.timeoutMs = 10000;
        if (client.send(r).ok()) answered.fetch_add(1);
      }
    });
  }
  for (int waited = 0; answered.load() < 8 && waited < 6000; ++waited)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(answered.load(), 8) << service.output();

  EXPECT_EQ(service.stop(60), 0) << service.output();
  gone.store(true);
  for (std::thread& t : clients) t.join();

  std::string out = service.output();
  size_t final = out.find("[HalvorantFinal] Start release all adapters");
  ASSERT_NE(final, std::string::npos) << out;
  EXPECT_EQ(out.find("Copy adapter: ", final), std::string::npos) << "a session was opened after shutdown began";
  EXPECT_EQ(out.find("Verify server version: ", final), std::string::npos);
  EXPECT_EQ(adapterCopies(), std::vector<std::string>{}) << out;
}

}  // namespace
