// The service loop (main-thread calls), request processing under the lock, and the stop
// signals.
#include <signal.h>

#include <chrono>
#include <cstring>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "front/Worker.h"
#include "map/Json.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

namespace {

constexpr auto kPoll = std::chrono::milliseconds(100);

std::atomic<bool> g_finalRequested{false};

sigset_t stopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  return stops;
}

// Takes a pending stop signal without waiting.
void takeStopSignal() {
  const sigset_t stops = stopSignals();
  const timespec now = {0, 0};
  int signal = sigtimedwait(&stops, nullptr, &now);
  if (signal > 0) {
    printfColorLine("Stop signal: ", signal == SIGINT ? "SIGINT" : "SIGTERM");
    HalvorantFinal();
  }
  if (g_finalRequested.exchange(false)) HalvorantFinal();
}

}  // namespace

// The stop signals stay blocked in every thread (threads inherit the mask of the main
// thread, which blocks them before it starts any) and the service loop takes them with
// sigtimedwait: no handler runs asynchronously, and a signal cannot land on a thread that
// never looks at it.
void installStopSignals() {
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  // A page that drops its connection must not end the service.
  signal(SIGPIPE, SIG_IGN);
}

void requestFinal() {
  g_finalRequested.store(true);
  MainThread_Wake();
}

namespace {

// Processing under RequestLock, which the caller holds.
HalvorantJsonMap* processLocked(HalvorantJsonMap* request, const char* origin) {
  // Shutdown has begun (or released the sessions): nothing new is opened after it.
  if (HalvorantStopping.load()) return nullptr;
  // Processing takes its own copy of the origin: on the stack when it fits.
  char local[512];
  const bool fits = origin != nullptr && strlen(origin) < sizeof local;
  if (fits) copyBounded(local, sizeof local, origin);
  char* own = fits ? local : newMem(origin);
  if (own == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  int32_t length = 0;
  HalvorantJsonMap* answer = HalvorantSession_Process(HalvorantProcessID, request, own, &length);
  if (own != local) freeMem(own);
  return answer;
}

}  // namespace

HalvorantJsonMap* processRequest(HalvorantJsonMap* request, const char* origin) {
  std::lock_guard<std::mutex> guard(RequestLock);
  return processLocked(request, origin);
}

bool processQuickRequest(HalvorantJsonMap* request, const char* origin, HalvorantJsonMap** answer) {
  if (request == nullptr || origin == nullptr || answer == nullptr || !Worker_Idle()) return false;
  std::unique_lock<std::mutex> guard(RequestLock, std::try_to_lock);
  if (!guard.owns_lock() || !HalvorantSession_IsQuick(request, origin)) return false;
  *answer = processLocked(request, origin);
  return true;
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
