// Console line cost, standard output sent to a file as the service runs it under a service
// manager: wall and CPU (user + system) nanoseconds per line and per request's worth of
// lines (the fifteen lines of an Echo call on an open session, then the flush the handler
// does), in deferred and immediate mode, without colours (a file gets none) and with them;
// and the cost of a rate-limited line that is only counted (a flood of refused connections).
// Figures go to standard error; standard output is the console under test.
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "diag/Console.h"

namespace {

const char kRule[] = "===============================================================================";

double cpuNs() {
  timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e9 + now.tv_nsec;
}

double wallNs() {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void ruleLine() { printfColorTextLine(COLOR_BOLD, kRule); }

// The lines of one kept-alive Echo call, as the listener, the worker and the answer print
// them.
void requestLines() {
  printfColorLine("", "Release Mode");
  printfColorLine("TLS version: ", "TLS1.3");
  printfColorLine("Host: ", "localhost:54469");
  printfColorLine("Referer: ", "https://bench.test/page.html");
  printfColorLine("Origin: ", "https://bench.test");
  printfColorLine("Org_User: ", 1000);
  printfColorLine("Check_User: ", 1000);
  printfColorLine("Session id: ", "5F0C6C1E9A7B4D0E");
  printfColorLine("FunctionName: ", "Echo");
  printfColorLine("Find the loaded adapter", "");
  printfColorLine("[NoxHalvorant][Normal] Component result: ", COLOR_GREEN_138, "{\"Echo\":\"hello\"}");
  printfColorLine("Adapter call: ", "Success");
  printfColorLine("Response size: ", 212);
  printfColorLine("Queue response: ", "Success");
  ruleLine();
}

struct Figure {
  double wall, cpu;
};

// The best of several runs: on a shared machine the others only add time.
constexpr int kRuns = 7;

template <typename Body>
Figure measure(int rounds, int units, Body body) {
  for (int i = 0; i < rounds / 10; ++i) body();  // warm up
  flushConsole();
  Figure best{1e300, 1e300};
  for (int run = 0; run < kRuns; ++run) {
    double wall0 = wallNs(), cpu0 = cpuNs();
    for (int i = 0; i < rounds; ++i) body();
    flushConsole();
    double n = static_cast<double>(rounds) * units;
    best.wall = std::min(best.wall, (wallNs() - wall0) / n);
    best.cpu = std::min(best.cpu, (cpuNs() - cpu0) / n);
  }
  return best;
}

void report(const char* name, Figure f) { fprintf(stderr, "%-44s %8.0f ns wall %8.0f ns cpu\n", name, f.wall, f.cpu); }

}  // namespace

int main(int argc, char** argv) {
  // A private temporary file, removed at the end; "--null": /dev/null instead, to see the
  // formatting without the file system's share.
  const bool toNull = argc > 1 && strcmp(argv[1], "--null") == 0;
  char path[] = "/tmp/nox_bench_console_XXXXXX";
  int fd = toNull ? open("/dev/null", O_WRONLY | O_CLOEXEC) : mkstemp(path);
  if (fd < 0 || dup2(fd, STDOUT_FILENO) != STDOUT_FILENO) {
    perror("console output");
    return 1;
  }
  close(fd);
  const bool deferred = setConsoleDeferred(true);
  strncpy(PrefixName, "NoxHalvorant", sizeof PrefixName - 1);
  // NOX_BENCH_ROUNDS: fewer rounds, for a run under an instruction counter.
  const int kRounds = getenv("NOX_BENCH_ROUNDS") != nullptr ? atoi(getenv("NOX_BENCH_ROUNDS")) : 50000;

  for (bool colour : {false, true}) {
    setConsoleColour(colour);
    setConsoleDeferred(true);
    std::string tag = colour ? " (colours)" : "";
    report(("deferred: one line" + tag).c_str(), measure(kRounds, 1, [] { printfColorLine("Host: ", "localhost:54469"); }));
    report(("deferred: number line" + tag).c_str(), measure(kRounds, 1, [] { printfColorLine("Check_User: ", 1000); }));
    report(("deferred: escaped line" + tag).c_str(),
           measure(kRounds, 1, [] { printfColorLine("Origin: ", "https://a.test\r\n\x1b[2J"); }));
    report(("deferred: request (15 lines + flush)" + tag).c_str(), measure(kRounds / 15, 1, [] {
             requestLines();
             flushConsole();
           }));
    setConsoleDeferred(false);
    report(("immediate: one line" + tag).c_str(),
           measure(kRounds / 4, 1, [] { printfColorLine("Host: ", "localhost:54469"); }));
    report(("immediate: request (15 lines)" + tag).c_str(), measure(kRounds / 60, 1, [] { requestLines(); }));
  }
  setConsoleColour(false);
  setConsoleDeferred(true);
  // A flood of refused connections: after the first line of a second, each further one is
  // only counted (the count itself shows once a second).
  static RateLimitedLine refused{kRateLimitedWarning, "Illegal connection ip: ", "refused"};
  report("rate-limited: line counted", measure(kRounds, 1, [] {
           printfRateLimitedLine(&refused, "212.46.127.0.0.2.0.0.0.0.0.0.0.0");
         }));
  // Four threads at once, each printing requests: the lines contend for the console.
  for (int run = 0; run < 3; ++run) {
    constexpr int kThreads = 4;
    double wall0 = wallNs(), cpu0 = cpuNs();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([kRounds] {
        for (int i = 0; i < kRounds / 15; ++i) {
          requestLines();
          flushConsole();
        }
      });
    for (std::thread& thread : threads) thread.join();
    double n = static_cast<double>(kThreads) * (kRounds / 15);
    report("deferred: request, 4 threads at once", {(wallNs() - wall0) / n, (cpuNs() - cpu0) / n});
  }
  fprintf(stderr, "deferred mode %s; output to %s\n", deferred ? "on" : "unavailable", toNull ? "/dev/null" : "a file");
  if (!toNull) unlink(path);
  return 0;
}
