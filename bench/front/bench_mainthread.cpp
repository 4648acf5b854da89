// What main-thread mode adds to a call: Echo round trips on an open session over one
// keep-alive TLS connection to a running service, alternating direct and main-thread
// requests. Usage: nox_bench_front_mainthread [PORT] [COUNT]; prints one line:
//   mainthread direct_p50_ms flagged_p50_ms added_ms
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : noxtest::kPorts[0];
  int count = argc > 2 ? atoi(argv[2]) : 200;
  if (count <= 0 || count > 100000) return 2;

  noxtest::Client client;
  noxtest::Request r;
  // The running service's CA: the one in the data home this program was given (the
  // harness would otherwise make a private one of its own).
  const char* home = getenv("XDG_DATA_HOME");
  if (home != nullptr && home[0] != '\0') r.caFile = std::string(home) + "/noxhalvorant/NoxHalvorant-CA.pem";
  r.port = port;
  r.origin = "https://bench.test";
  r.json = noxtest::echoJson();
  std::string session = client.send(r).values()["SessionID"];
  if (session.empty()) {
    fprintf(stderr, "mainthread: no session opened on port %d\n", port);
    return 1;
  }
  const std::string direct = noxtest::echoJson("\"SessionId\":\"" + session + "\"");
  const std::string flagged = noxtest::echoJson("\"SessionId\":\"" + session + "\",\"MainThread\":true");

  std::vector<double> directMs, flaggedMs;
  for (int i = 0; i < count + 20; ++i) {
    for (int kind = 0; kind < 2; ++kind) {
      r.json = kind == 0 ? direct : flagged;
      auto start = std::chrono::steady_clock::now();
      noxtest::Answer a = client.send(r);
      double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
      if (!a.ok() || a.values()["result"] != "0") {
        fprintf(stderr, "mainthread: bad answer: %s %s\n", a.error.c_str(), a.body.c_str());
        return 1;
      }
      if (i >= 20) (kind == 0 ? directMs : flaggedMs).push_back(ms);  // after a warm-up
    }
  }
  double d = median(directMs), f = median(flaggedMs);
  printf("mainthread %.3f %.3f %.3f\n", d, f, f - d);
  return 0;
}
