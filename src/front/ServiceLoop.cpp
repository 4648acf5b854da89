// The service loop (main-thread calls), request processing, and the stop thread.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "diag/Console.h"
#include "front/CommandLine.h"
#include "front/HalvorantHttp.h"
#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "front/Worker.h"
#include "map/Json.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_finalRequested{false};
std::atomic<bool> g_quit{false};
std::atomic<bool> g_exiting{false};
std::thread g_stopThread;

std::mutex g_stopLock;
std::condition_variable g_stopChanged;
bool g_stopStarted = false;
Clock::time_point g_stopDeadline{};

sigset_t stopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGUSR1);
  return stops;
}

// The last resort of a stop: something (an adapter, a release) still runs at the
// deadline. Nothing is unloaded; the copies go, the last lines are written, status 0.
void guardStop() {
  std::unique_lock<std::mutex> lock(g_stopLock);
  g_stopChanged.wait_until(lock, g_stopDeadline, [] { return g_exiting.load(); });
  if (g_exiting.load()) return;
  lock.unlock();
  HalvorantSession_DeleteAllCopies();
  printfColorWarningLine("[HalvorantFinal] ", "Adapter code still running at the stop deadline: left loaded");
  printfColorLine("[HalvorantFinal] ", "Ready to suicide");
  flushConsole();
  _exit(kExitOk);
}

void beginStop() {
  {
    std::lock_guard<std::mutex> guard(g_stopLock);
    if (g_stopStarted) return;
    g_stopStarted = true;
    g_stopDeadline = Clock::now() + std::chrono::milliseconds(kStopDeadlineMs);
  }
  std::thread(guardStop).detach();
  HalvorantFinal();
}

void stopLoop() {
  const sigset_t stops = stopSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&stops, &signal) != 0) continue;
    if (signal == SIGUSR1) {
      if (g_quit.load()) return;
      if (!g_finalRequested.exchange(false)) continue;  // a stray SIGUSR1 from outside
    } else {
      // Nothing new from here on, before anything that could wait (the console's lock).
      HalvorantStopping.store(true);
      printfColorLine("Stop signal: ", signal == SIGINT ? "SIGINT" : "SIGTERM");
    }
    beginStop();
  }
}

}  // namespace

// The stop signals stay blocked in every thread (threads inherit the mask of the main
// thread, which blocks them before it starts any) and the stop thread takes them with
// sigwait: no handler runs asynchronously, and no thread inside an adapter can hold a stop up.
void installStopSignals() {
  const sigset_t stops = stopSignals();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  // A page that drops its connection must not end the service.
  signal(SIGPIPE, SIG_IGN);
}

void startStopThread() {
  if (!g_stopThread.joinable()) g_stopThread = std::thread(stopLoop);
}

void endStopThread() {
  if (!g_stopThread.joinable()) return;
  g_quit.store(true);
  pthread_kill(g_stopThread.native_handle(), SIGUSR1);
  g_stopThread.join();
}

void requestFinal() {
  g_finalRequested.store(true);
  if (g_stopThread.joinable()) pthread_kill(g_stopThread.native_handle(), SIGUSR1);
}

long stopTimeLeftMs() {
  std::lock_guard<std::mutex> guard(g_stopLock);
  if (!g_stopStarted) return 1000L * 1000L * 1000L;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(g_stopDeadline - Clock::now()).count());
}

void markExiting() {
  {
    std::lock_guard<std::mutex> guard(g_stopLock);
    g_exiting.store(true);
  }
  g_stopChanged.notify_all();
}

std::chrono::milliseconds adapterCallLimit() {
  std::chrono::milliseconds limit = kAdapterCallLimit;
  const char* seam = getenv("NOX_TEST_CALL_LIMIT_MS");
  if (seam != nullptr && seam[0] != '\0') {
    char* end = nullptr;
    long millis = strtol(seam, &end, 10);
    if (end != nullptr && *end == '\0' && millis > 0 && std::chrono::milliseconds(millis) < limit)
      limit = std::chrono::milliseconds(millis);
  }
  return limit;
}

namespace {

// Processing takes its own copy of the origin: on the stack when it fits. Null when the
// copy cannot be made.
struct OwnOrigin {
  char local[512];
  char* text = nullptr;
  explicit OwnOrigin(const char* origin) {
    if (origin != nullptr && strlen(origin) < sizeof local) {
      copyBounded(local, sizeof local, origin);
      text = local;
    } else {
      text = newMem(origin);
      if (text == nullptr) HALVORANT_MEMORY_FAIL();
    }
  }
  ~OwnOrigin() {
    if (text != local) freeMem(text);
  }
};

}  // namespace

HalvorantJsonMap* processRequest(HalvorantJsonMap* request, const char* origin) {
  // Shutdown has begun (or released the sessions): nothing new is opened after it.
  if (HalvorantStopping.load()) return nullptr;
  OwnOrigin own(origin);
  if (own.text == nullptr) return nullptr;
  int32_t length = 0;
  return HalvorantSession_Process(HalvorantProcessID, request, own.text, &length);
}

bool processQuickRequest(HalvorantJsonMap* request, const char* origin, HalvorantJsonMap** answer) {
  if (request == nullptr || origin == nullptr || answer == nullptr) return false;
  // With the pool empty every lane is idle: the request's key need not be looked up.
  if (!Worker_Idle()) {
    char key[640];
    HalvorantSession_OrderKey(request, origin, key, sizeof key);
    if (!Worker_KeyIdle(key)) return false;
  }
  if (HalvorantStopping.load()) {
    *answer = nullptr;
    return true;
  }
  OwnOrigin own(origin);
  if (own.text == nullptr) return false;
  bool done = false;
  *answer = HalvorantSession_ProcessIfQuick(request, own.text, &done);
  return done;
}

void wakeServiceLoop() { MainThread_Wake(); }

namespace {

std::chrono::seconds g_idleExit{0};

// Beyond this a stored value counts as kept for good (and no clock arithmetic overflows).
constexpr int64_t kValueHorizonSeconds = 10LL * 365 * 24 * 60 * 60;

IdleView lookAround(Clock::time_point now) {
  IdleView view;
  bool valueLive = false;
  int64_t until = 0;
  const int sessions = HalvorantSession_Held(&valueLive, &until);
  const int64_t left = valueLive ? (until == INT64_MAX ? INT64_MAX : until + 1 - halvorantNow()) : 0;
  view.holders = sessions > 0 || left > kValueHorizonSeconds || MainThread_CallCount() > 0 || !Worker_Idle() ||
                 Worker_LostThreads() > 0;
  if (valueLive && left > 0 && left <= kValueHorizonSeconds) view.valuesUntil = now + std::chrono::seconds(left);
  view.connections = openConnections() > 0;
  view.lastClosed = lastConnectionClosed();
  return view;
}

void exitForIdleness() {
  char text[128];
  snprintf(text, sizeof text, "no connection, session, stored value or call for %lld s",
           static_cast<long long>(g_idleExit.count()));
  printfColorLine("Idle exit: ", text);
  quiesceListeners();
  beginStop();
}

}  // namespace

void setIdleExit(std::chrono::seconds after) { g_idleExit = after.count() > 0 ? after : std::chrono::seconds(0); }

Clock::time_point idleExitAt(const IdleView& view, Clock::time_point now, std::chrono::seconds after,
                             IdleWatch* watch) {
  if (view.holders) {
    watch->held = true;
    return now + after;
  }
  if (watch->held) {
    watch->held = false;
    watch->quietFrom = now;
  }
  if (view.connections) return now + after;
  return std::max({watch->quietFrom, view.lastClosed, view.valuesUntil}) + after;
}

void runServiceLoop() {
  IdleWatch watch;
  watch.quietFrom = Clock::now();
  for (;;) {
    flushConsole();
    if (HalvorantClose.load()) return;
    if (MainThread_RunPending(processRequest)) continue;  // straight on to the next check
    Clock::time_point wakeAt = Clock::time_point::max();
    if (g_idleExit.count() > 0 && !HalvorantStopping.load()) {
      const Clock::time_point now = Clock::now();
      wakeAt = idleExitAt(lookAround(now), now, g_idleExit, &watch);
      if (wakeAt <= now) {
        exitForIdleness();  // sets HalvorantClose
        continue;
      }
    }
    MainThread_WaitWork(wakeAt);
  }
}
