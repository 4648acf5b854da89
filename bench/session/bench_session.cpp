// Over the wire: latency of opening a session (copy, load, version query, Echo) against a
// call on an open session, median and 99th percentile, on one kept-alive connection; and
// the service's resident memory idle and with 32 sessions open.
// Goals: opening costs under 2 ms median beyond a call; idle resident memory under 8 MiB.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

constexpr int kRounds = 300;
constexpr const char* kCrypt = "3A61F0B2C94E4D7B8E05A1C2D3F40516";

struct Stats {
  double median, p99;
};

Stats stats(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

struct Resident {
  long total = -1, anon = -1, file = -1;  // KiB: all, private anonymous, file-backed (libraries)
};

Resident resident(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  Resident r;
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) r.total = std::stol(line.substr(6));
    if (line.rfind("RssAnon:", 0) == 0) r.anon = std::stol(line.substr(8));
    if (line.rfind("RssFile:", 0) == 0) r.file = std::stol(line.substr(8));
  }
  return r;
}

noxtest::Request post(const std::string& json) {
  noxtest::Request r;
  r.origin = "https://bench.test";
  r.json = json;
  return r;
}

std::string openJson(const std::string& id) {
  return "{\"FunctionName\":\"Echo\",\"PathID\":\"" + std::string(kCrypt) + "\",\"minServerVersion\":\"1.0.0.0\"," +
         "\"SessionId\":\"" + id + "\"}";
}

// Times one request; false when the answer is not the expected result.
bool timed(noxtest::Client& client, const std::string& json, const std::string& expected, std::vector<double>& out) {
  auto start = std::chrono::steady_clock::now();
  noxtest::Answer a = client.send(post(json));
  out.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  return a.ok() && a.values()["result"] == expected;
}

}  // namespace

int main() {
  noxtest::Service service;
  if (!service.start()) {
    fprintf(stderr, "service did not start: %s\n%s\n", service.error().c_str(), service.output().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  Resident idle = resident(service.pid());

  noxtest::Client client;
  std::vector<double> opens, calls;
  const std::string digest =
      "{\"SessionId\":\"Bench_Call\",\"FunctionName\":\"Digest\",\"Algorithm\":\"SHA256\",\"Data\":\"abc\"}";
  const std::string sha256 = "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
  bool ok = client.send(post(openJson("Bench_Call"))).values()["result"] == "0";
  for (int i = 0; ok && i < 20; ++i) ok = client.send(post(digest)).values()["result"] == sha256;  // warm-up
  for (int i = 0; ok && i < kRounds; ++i) {
    std::string id = "Bench_" + std::to_string(i);
    ok = timed(client, openJson(id), "0", opens) && timed(client, digest, sha256, calls);
    // Released untimed, so every open finds a free slot.
    client.send(post("{\"SessionId\":\"" + id + "\",\"FunctionName\":\"HalvorantRelease\"}"));
  }
  if (!ok) {
    fprintf(stderr, "unexpected answer\n%s\n", service.output().c_str());
    service.stop();
    return 1;
  }
  for (int i = 0; i < 31; ++i) client.send(post(openJson("Bench_Full_" + std::to_string(i))));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  Resident full = resident(service.pid());

  Stats open = stats(opens), call = stats(calls);
  printf("session open (copy, load, version, Echo): median %.3f ms, p99 %.3f ms (%d rounds)\n", open.median,
         open.p99, kRounds);
  printf("call on an open session (Digest):        median %.3f ms, p99 %.3f ms\n", call.median, call.p99);
  printf("open beyond call: median %.3f ms (goal < 2 ms)\n", open.median - call.median);
  printf("resident memory idle: %ld KiB (goal < 8192 KiB): %ld anonymous, %ld file-backed\n", idle.total,
         idle.anon, idle.file);
  printf("resident memory, 32 sessions open: %ld KiB: %ld anonymous, %ld file-backed\n", full.total, full.anon,
         full.file);
  return service.stop() == 0 ? 0 : 1;
}
