// Main-thread hand-off, the service loop and the stop signals.
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "map/Json.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

namespace {

// Wakes the loop when a call is requested and the handler when it has finished, so
// neither waits out a poll interval; the 100 ms bound stays as a safety net.
std::mutex g_wakeLock;
std::condition_variable g_wake;
constexpr auto kPoll = std::chrono::milliseconds(100);

// Written by the signal handler: lock-free atomics only.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free flag");

extern "C" void onStopSignal(int signal) { g_stopSignal.store(signal); }

void runMainThreadCall() {
  printfColorLine("Main thread mode call start", "");
  flushConsole();  // the loop does not flush while the call runs
  {
    std::lock_guard<std::mutex> guard(RequestLock);
    freeHalvorantJsonMap(result);
    result = nullptr;
    char* origin = newMem(Origin);
    result = HalvorantSession_Process(HalvorantProcessID, JsonMap, origin, &ResultLength);
    freeMem(origin);
  }
  printfColorLine("Main thread mode call finish", "");
  {
    std::lock_guard<std::mutex> guard(g_wakeLock);
    isCallMainThreadFinish.store(true);
  }
  g_wake.notify_all();
}

void takeStopSignal() {
  int signal = g_stopSignal.exchange(0);
  if (signal == 0) return;
  printfColorLine("Stop signal: ", signal == SIGINT ? "SIGINT" : "SIGTERM");
  HalvorantFinal();
}

}  // namespace

void installStopSignals() {
  struct sigaction action = {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A page that drops its connection must not end the service.
  signal(SIGPIPE, SIG_IGN);
}

void requestMainThreadCall() {
  {
    std::lock_guard<std::mutex> guard(g_wakeLock);
    isCallMainThreadFinish.store(false);
  }
  g_wake.notify_all();
}

bool waitMainThreadCall(int milliseconds) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0);
  // In slices of the poll interval: while the main thread runs the call, the waiting
  // handler is the one that keeps the console flushed.
  for (;;) {
    Clock::duration left = deadline - Clock::now();
    Clock::duration slice = std::min<Clock::duration>(std::max(left, Clock::duration::zero()), kPoll);
    {
      std::unique_lock<std::mutex> lock(g_wakeLock);
      if (g_wake.wait_for(lock, slice, [] { return isCallMainThreadFinish.load(); })) return true;
    }
    if (slice < kPoll) return false;
    flushConsole();
  }
}

void wakeServiceLoop() {
  { std::lock_guard<std::mutex> guard(g_wakeLock); }
  g_wake.notify_all();
}

void runServiceLoop() {
  for (;;) {
    flushConsole();
    takeStopSignal();
    if (HalvorantClose.load()) return;
    if (!isCallMainThreadFinish.load()) {
      runMainThreadCall();  // straight on to the next check, no sleep
      continue;
    }
    std::unique_lock<std::mutex> lock(g_wakeLock);
    g_wake.wait_for(lock, kPoll, [] { return HalvorantClose.load() || !isCallMainThreadFinish.load(); });
  }
}
