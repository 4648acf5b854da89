// Stalled and surplus connections: a flood on one listener leaves the others serving,
// idle and half-open connections are closed after the time-out (a long call is not idle),
// unfinished bodies are capped in memory and give it back when they go.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // the runtimes' own memory makes resident size meaningless
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A TCP connection to a listener; connect() does not wait for the server to take it.
int openRaw(int port, bool ipv6) {
  int fd = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int rc;
  if (ipv6) {
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  return fd;
}

// Waits up to seconds for the server to close fd (end of stream or reset).
bool closedByServer(int fd, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 200) > 0) {
      char buffer[4096];
      ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return true;
    }
  }
  return false;
}

long rssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

bool echoAnswered(int port, bool ipv6) {
  noxtest::Request r;
  r.port = port;
  r.ipv6 = ipv6;
  r.origin = "https://a.test";
  r.json = noxtest::echoJson();
  noxtest::Answer a = noxtest::send(r);
  return a.ok() && a.values()["result"] == "0";
}

void raiseOwnDescriptorLimit() {
  rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
  ASSERT_GE(limit.rlim_cur, 2048u) << "this test needs 2048 descriptors of its own";
}

TEST(Connections, FloodOnOneListenerLeavesTheOthersServing) {
  raiseOwnDescriptorLimit();
  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  ASSERT_NE(service.output().find("Connection limits: "), std::string::npos);

  // Beyond FD_SETSIZE and beyond the listener's limit, nothing sent.
  auto started = std::chrono::steady_clock::now();
  std::vector<int> idle;
  for (int i = 0; i < 1100; ++i) {
    int fd = openRaw(noxtest::kPorts[0], false);
    if (fd >= 0) idle.push_back(fd);
  }
  EXPECT_GT(idle.size(), 1000u);
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[1], false)) << service.output();
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[2], true)) << service.output();
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[0], true)) << service.output();
  for (int fd : idle) close(fd);
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();

  // The flooded listener serves again once the flood has gone.
  bool again = false;
  for (int i = 0; i < 60 && !again; ++i) again = echoAnswered(noxtest::kPorts[0], false);
  EXPECT_TRUE(again) << service.output();
  // Refusals are reported, but at most once a second per kind.
  size_t limitLines = service.count("Server reached connection limit");
  EXPECT_LE(limitLines, static_cast<size_t>(seconds) + 3) << service.output();
  EXPECT_TRUE(service.running());
  EXPECT_EQ(service.stop(), 0);
}

TEST(Connections, IdleAndHalfOpenConnectionsAreClosedAfterTheTimeOut) {
  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  // A TLS record header promising more than is ever sent: a handshake that stalls.
  const unsigned char partialHello[] = {0x16, 0x03, 0x01, 0x02, 0x00, 0x01, 0x00};
  struct Case {
    const char* name;
    bool ipv6;
    bool sendPartialHello;
  };
  const Case cases[] = {{"idle", false, false}, {"idle IPv6", true, false}, {"half handshake", false, true}};
  // Meanwhile two main-thread calls of 15 s each, and a plain request of the first call's
  // session on another listener, parked behind that call for about as long as the time-out:
  // waiting for the service is not idleness, so its answer still comes.
  noxtest::Answer session = noxtest::postForm(noxtest::kPorts[1], "", "https://a.test", "", noxtest::echoJson());
  const std::string inSession = "\"SessionId\":\"" + session.values()["SessionID"] + "\"";
  ASSERT_EQ(session.values()["result"], "0") << session.body;
  noxtest::Answer flagged[2], waited;
  std::chrono::steady_clock::duration waitedFor{};
  auto sleepCall = [&](int i, const char* origin) {
    noxtest::Request r;
    r.port = noxtest::kPorts[1];
    r.origin = origin;
    r.json = "{\"FunctionName\":\"Sleep\",\"PathID\":\"" + std::string(noxtest::kEchoPathId) +
             "\",\"minServerVersion\":\"1.0.0.0\",\"Seconds\":\"15\",\"MainThread\":true" +
             (i == 0 ? "," + inSession : std::string()) + "}";
    r.timeoutMs = 120000;
    flagged[i] = noxtest::send(r);
  };
  std::thread longCall([&] { sleepCall(0, "https://a.test"); });
  ASSERT_TRUE(service.waitFor("Main thread mode call start", 30)) << service.output();
  std::thread nextCall([&] { sleepCall(1, "https://c.test"); });
  std::thread parked([&] {
    noxtest::Request r;
    r.port = noxtest::kPorts[2];
    r.origin = "https://a.test";
    r.json = noxtest::echoJson(inSession);
    r.timeoutMs = 120000;
    const auto sent = std::chrono::steady_clock::now();
    waited = noxtest::send(r);
    waitedFor = std::chrono::steady_clock::now() - sent;
  });
  std::vector<int> fds;
  auto opened = std::chrono::steady_clock::now();
  for (const Case& c : cases) {
    int fd = openRaw(noxtest::kPorts[0], c.ipv6);
    ASSERT_GE(fd, 0) << c.name;
    pollfd p = {fd, POLLOUT, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1) << c.name;
    if (c.sendPartialHello) {
      ASSERT_EQ(send(fd, partialHello, sizeof partialHello, MSG_NOSIGNAL), 7);
    }
    fds.push_back(fd);
  }
  for (size_t i = 0; i < fds.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    EXPECT_TRUE(closedByServer(fds[i], 90)) << "still open";
    close(fds[i]);
  }
  // Not closed at once: it was the time-out (15 s) that closed them.
  EXPECT_GE(std::chrono::steady_clock::now() - opened, std::chrono::seconds(14));
  longCall.join();
  nextCall.join();
  parked.join();
  for (const noxtest::Answer& a : flagged) {
    EXPECT_TRUE(a.ok()) << a.error << service.output();
    EXPECT_EQ(a.values()["result"], "heartbeat") << a.body;
  }
  ASSERT_TRUE(waited.ok()) << waited.error << service.output();
  EXPECT_EQ(waited.values()["result"], "0") << waited.body;
  EXPECT_GE(waitedFor, std::chrono::seconds(14)) << "it did not wait behind the call";
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[0], false)) << service.output();
  EXPECT_EQ(service.stop(), 0);
}

// Many uploads that stop short of their announced length: the memory they hold together
// is capped, surplus bodies are refused, a small request is still answered while they fill
// the cap, and the memory goes back when they end.
TEST(Connections, UnfinishedBodiesAreCappedAndGiveTheirMemoryBack) {
  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  ASSERT_TRUE(echoAnswered(noxtest::kPorts[0], false));
  const long before = rssKiB(service.pid());

  // Each sends the longest "Parameter" there is (1 MiB), held in 2 MiB: 48 of them would
  // hold 96 MiB.
  constexpr int kUploads = 48;
  constexpr size_t kSent = 10 + 1024 * 1024;  // of 1,100,000 announced
  struct Upload {
    size_t sent = 0;
    bool ended = false;
    CURLcode code = CURLE_OK;
  };
  std::vector<Upload> uploads(kUploads);
  std::mutex lock;
  std::condition_variable changed;
  bool release = false;
  auto ready = [&] {
    for (const Upload& u : uploads)
      if (!u.ended && u.sent < kSent) return false;
    return true;
  };

  noxtest::detail::curlGlobal();
  std::vector<std::thread> threads;
  for (int i = 0; i < kUploads; ++i) {
    threads.emplace_back([&, i] {
      struct Reader {
        Upload* upload;
        std::mutex* lock;
        std::condition_variable* changed;
        bool* release;
        static size_t read(char* buffer, size_t size, size_t count, void* user) {
          auto* r = static_cast<Reader*>(user);
          std::unique_lock<std::mutex> guard(*r->lock);
          if (r->upload->sent >= kSent) {
            r->changed->notify_all();
            r->changed->wait(guard, [r] { return *r->release; });
            return CURL_READFUNC_ABORT;
          }
          size_t n = std::min(size * count, kSent - r->upload->sent);
          size_t at = r->upload->sent;
          for (size_t k = 0; k < n; ++k) buffer[k] = at + k < 10 ? "Parameter="[at + k] : 'A';
          r->upload->sent += n;
          return n;
        }
      } reader{&uploads[i], &lock, &changed, &release};
      CURL* curl = curl_easy_init();
      std::string url = "https://localhost:" + std::to_string(noxtest::kPorts[i % 3]) + "/";
      std::string resolve = "localhost:" + std::to_string(noxtest::kPorts[i % 3]) + ":127.0.0.1";
      curl_slist* resolveList = curl_slist_append(nullptr, resolve.c_str());
      curl_slist* headers = curl_slist_append(nullptr, "Origin: https://a.test");
      headers = curl_slist_append(headers, "Expect:");
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl, CURLOPT_RESOLVE, resolveList);
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(curl, CURLOPT_CAINFO, noxtest::caFile().c_str());
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 120000L);
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(1100 * 1000));
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, &Reader::read);
      curl_easy_setopt(curl, CURLOPT_READDATA, &reader);
      CURLcode code = curl_easy_perform(curl);
      curl_easy_cleanup(curl);
      curl_slist_free_all(headers);
      curl_slist_free_all(resolveList);
      std::lock_guard<std::mutex> guard(lock);
      uploads[i].ended = true;
      uploads[i].code = code;
      changed.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> guard(lock);
    EXPECT_TRUE(changed.wait_for(guard, std::chrono::seconds(120), ready)) << "uploads did not get going";
  }
  std::string early;  // uploads that ended before they had sent their part
  {
    std::lock_guard<std::mutex> guard(lock);
    for (const Upload& u : uploads)
      if (u.ended && u.sent < kSent) early += " " + std::to_string(u.sent) + "/" + curl_easy_strerror(u.code);
  }
  // Let the service take in what is in flight: the refusals come as it reads.
  EXPECT_TRUE(service.waitFor("Too much unfinished body data on all connections", 60))
      << "ended early:" << early << "\n" << service.output();
  const long during = rssKiB(service.pid());
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[1], true)) << "no answer beside the uploads";

  {
    std::lock_guard<std::mutex> guard(lock);
    release = true;
  }
  changed.notify_all();
  for (std::thread& t : threads) t.join();

  // Given back: wait (bounded) for resident memory to settle near where it was.
  long after = rssKiB(service.pid());
  for (int i = 0; i < 300 && after > before + 8 * 1024; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = rssKiB(service.pid());
  }
  RecordProperty("rss_kib_before", std::to_string(before));
  RecordProperty("rss_kib_during", std::to_string(during));
  RecordProperty("rss_kib_after", std::to_string(after));
  std::printf("resident KiB: before %ld, with the uploads %ld, after %ld\n", before, during, after);
  if (!kSanitized) {
    EXPECT_LT(during - before, 110 * 1024) << "bodies held beyond the cap";
    EXPECT_LT(after - before, 8 * 1024) << "memory not given back";
  }
  EXPECT_TRUE(echoAnswered(noxtest::kPorts[0], false));
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
