// The service loop (main-thread calls), request processing under the lock, and the stop
// signals.
#include <signal.h>

#include <chrono>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "map/Json.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

namespace {

constexpr auto kPoll = std::chrono::milliseconds(100);

// Written by the signal handler: lock-free atomics only.
std::atomic<int> g_stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free flag");
std::atomic<bool> g_finalRequested{false};

extern "C" void onStopSignal(int signal) { g_stopSignal.store(signal); }

void takeStopSignal() {
  int signal = g_stopSignal.exchange(0);
  if (signal != 0) {
    printfColorLine("Stop signal: ", signal == SIGINT ? "SIGINT" : "SIGTERM");
    HalvorantFinal();
  }
  if (g_finalRequested.exchange(false)) HalvorantFinal();
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

void holdStopSignals(bool hold) {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &stops, nullptr);
}

void requestFinal() {
  g_finalRequested.store(true);
  MainThread_Wake();
}

HalvorantJsonMap* processRequest(HalvorantJsonMap* request, const char* origin) {
  char* own = newMem(origin);
  if (own == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  HalvorantJsonMap* answer = nullptr;
  {
    std::lock_guard<std::mutex> guard(RequestLock);
    // Shutdown has released the sessions: nothing new is opened after it.
    if (!HalvorantClose.load()) {
      int32_t length = 0;
      answer = HalvorantSession_Process(HalvorantProcessID, request, own, &length);
    }
  }
  freeMem(own);
  return answer;
}

void wakeServiceLoop() { MainThread_Wake(); }

void runServiceLoop() {
  for (;;) {
    flushConsole();
    takeStopSignal();
    if (HalvorantClose.load()) return;
    if (MainThread_RunPending(processRequest)) continue;  // straight on to the next check
    MainThread_WaitWork(kPoll);
  }
}
