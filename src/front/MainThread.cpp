// Main-thread calls: per-origin ownership, a first-come queue, parked requests and the timer.
#include "front/MainThread.h"

#include <algorithm>
#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "diag/Console.h"
#include "map/Json.h"
#include "util/Site.h"

namespace {

using Clock = std::chrono::steady_clock;

enum CallState { kQueued, kRunning, kDone };

struct Call {
  std::string origin;
  std::string site;
  HalvorantJsonMap* map = nullptr;     // the starting request's map, until the call ran
  HalvorantJsonMap* result = nullptr;  // the call's answer, until collected or dropped
  CallState state = kQueued;
  Clock::time_point doneAt{};
  Clock::time_point deadline{};     // while it runs: when it is abandoned
  Clock::time_point lastRequest{};  // the latest request of its origin
  Clock::time_point goneAt{};       // when that request's connection closed; zero while open
  const void* peer = nullptr;       // that connection (compared, never read)
  bool inRunner = false;  // MainThread_RunPending still holds it
  bool timedOut = false;  // abandoned at its limit: its outcome is the time-out
  bool dropped = false;   // let go while the runner holds it: the runner removes it
};

// A parked request. It leaves g_waiters for a local list of deliveries with its outcome
// set; moving list nodes allocates nothing, so no delivery can fail for want of memory.
struct Waiter {
  const Call* call = nullptr;  // the call of its origin it waits for (compared, never read)
  HandOff handOff{};
  Clock::time_point deadline{};
  HandOffOutcome outcome = kHandOffHeartbeat;
  HalvorantJsonMap* answer = nullptr;
};

std::mutex g_lock;
std::condition_variable g_work;   // main thread: a call was queued, or a wake
std::condition_variable g_timer;  // timer: a waiter or a result came or went
std::list<Call> g_calls;          // oldest first; a call keeps its place in memory
std::list<Waiter> g_waiters;      // in arrival order
bool g_stopping = false;
bool g_wake = false;
bool g_timerRuns = false;
bool g_mainLost = false;  // the main thread is inside an abandoned call
MainThreadOptions g_options;
pthread_t g_mainThread{};
std::thread g_timerThread;

// Heartbeats sent for calls still outstanding; 0 once none is.
int32_t iHeartBeats = 0;

// Under g_lock: the call leaves the list, or is only marked while its runner holds it.
std::list<Call>::iterator retire(std::list<Call>::iterator it) {
  freeHalvorantJsonMap(it->map);
  it->map = nullptr;
  freeHalvorantJsonMap(it->result);  // wipes every text it holds
  it->result = nullptr;
  if (it->inRunner) {
    it->dropped = true;
    return std::next(it);
  }
  return g_calls.erase(it);
}

Call* findCall(const char* origin) {
  for (Call& call : g_calls)
    if (!call.dropped && call.origin == origin) return &call;
  return nullptr;
}

void removeCall(const Call* call) {
  for (auto it = g_calls.begin(); it != g_calls.end(); ++it) {
    if (&*it == call) {
      retire(it);
      break;
    }
  }
  if (g_calls.empty()) iHeartBeats = 0;
}

// When a finished result nobody collected goes: after its lifetime, or sooner once its
// page's connection closed and no request of its origin came for kMainThreadGoneLifetime.
Clock::time_point dropTime(const Call& call) {
  Clock::time_point at = call.doneAt + kMainThreadResultLifetime;
  if (call.goneAt != Clock::time_point{})
    at = std::min(at, std::max({call.goneAt, call.lastRequest, call.doneAt}) + kMainThreadGoneLifetime);
  return at;
}

// Under g_lock: moves the waiter at it to deliveries with its outcome; returns the next.
std::list<Waiter>::iterator moveOut(std::list<Waiter>::iterator it, HandOffOutcome outcome,
                                    HalvorantJsonMap* answer, std::list<Waiter>* deliveries) {
  auto next = std::next(it);
  it->outcome = outcome;
  it->answer = answer;
  deliveries->splice(deliveries->end(), g_waiters, it);
  return next;
}

void deliverAll(std::list<Waiter>& deliveries) {
  for (Waiter& d : deliveries) {
    if (d.outcome == kHandOffHeartbeat) printfColorLine("", "No result from component yet send heartbeat");
    if (d.outcome == kHandOffTimedOut) printfColorWarningLine("Main thread call abandoned after its time limit", "");
    if (d.outcome == kHandOffAnswer) printfColorLine("Main thread mode finish!", "");
    d.handOff.deliver(d.handOff.user, d.outcome, d.answer);
  }
  deliveries.clear();
}

// Under g_lock: finished results nobody collected in time are wiped and dropped.
void dropStale(Clock::time_point now) {
  for (auto it = g_calls.begin(); it != g_calls.end();) {
    Call& call = *it;
    if (call.state == kDone && !call.dropped && now >= dropTime(call)) {
      printfColorWarningLine("Main thread result not collected, dropped: ", call.origin.c_str());
      it = retire(it);
    } else {
      ++it;
    }
  }
  if (g_calls.empty()) iHeartBeats = 0;
}

// Under g_lock: the running call past its limit is abandoned; its first waiter is told
// (else the next request of its origin); true when it was.
bool abandonDue(Clock::time_point now, std::list<Waiter>* out) {
  for (Call& call : g_calls) {
    if (call.state != kRunning || call.dropped || call.deadline > now) continue;
    call.state = kDone;
    call.timedOut = true;
    call.doneAt = now;
    g_mainLost = true;
    bool told = false;
    for (auto it = g_waiters.begin(); it != g_waiters.end();) {
      if (it->call != &call) {
        ++it;
      } else {
        it = moveOut(it, told ? kHandOffHeartbeat : kHandOffTimedOut, nullptr, out);
        told = true;
      }
    }
    if (told) removeCall(&call);
    return true;
  }
  return false;
}

// Under g_lock: waiters past their deadline get a heartbeat; stale results go.
void expire(Clock::time_point now, std::list<Waiter>* out) {
  for (auto it = g_waiters.begin(); it != g_waiters.end();) {
    if (it->deadline <= now) {
      ++iHeartBeats;
      it = moveOut(it, kHandOffHeartbeat, nullptr, out);
    } else {
      ++it;
    }
  }
  dropStale(now);
}

Clock::time_point nextEvent() {
  Clock::time_point next = Clock::time_point::max();
  for (const Waiter& w : g_waiters) next = std::min(next, w.deadline);
  for (const Call& call : g_calls) {
    if (call.dropped) continue;
    if (call.state == kDone) next = std::min(next, dropTime(call));
    if (call.state == kRunning) next = std::min(next, call.deadline);
  }
  return next;
}

// Heartbeats, expiry and the running call's limit; asleep without time-out when none is
// pending (the console writes its held lines by itself).
void timerLoop() {
  std::unique_lock<std::mutex> lock(g_lock);
  std::list<Waiter> deliveries;
  while (!g_stopping) {
    const Clock::time_point wakeAt = nextEvent();
    if (wakeAt == Clock::time_point::max())
      g_timer.wait(lock);
    else
      g_timer.wait_until(lock, wakeAt);
    if (g_stopping) break;
    const bool abandoned = abandonDue(Clock::now(), &deliveries);
    expire(Clock::now(), &deliveries);
    lock.unlock();
    if (abandoned && g_options.abandon != nullptr) g_options.abandon(g_mainThread);
    deliverAll(deliveries);
    flushConsole();
    lock.lock();
  }
}

}  // namespace

void MainThread_Start(MainThreadOptions options) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_timerRuns) return;
  g_options = options;
  g_mainThread = pthread_self();
  g_stopping = false;
  g_timerRuns = true;
  g_timerThread = std::thread(timerLoop);
}

void MainThread_Stop() {
  std::list<Waiter> deliveries;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopping = true;
    for (auto it = g_waiters.begin(); it != g_waiters.end();) it = moveOut(it, kHandOffClosed, nullptr, &deliveries);
    // A running call's runner still reads the origin; it removes the call when it returns.
    for (auto it = g_calls.begin(); it != g_calls.end();) it = retire(it);
    iHeartBeats = 0;
  }
  g_timer.notify_all();
  g_work.notify_all();
  if (g_timerThread.joinable()) g_timerThread.join();
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_timerRuns = false;
  }
  deliverAll(deliveries);
}

AwaitVerdict MainThread_Await(const char* origin, HalvorantJsonMap* map, int windowMs, HandOff handOff,
                              HalvorantJsonMap** answer) {
  if (answer != nullptr) *answer = nullptr;
  if (origin == nullptr || answer == nullptr || handOff.deliver == nullptr) {
    HALVORANT_NULL_WARNING(origin == nullptr ? "origin" : "answer");
    freeHalvorantJsonMap(map);
    return kAwaitClosed;
  }
  // Whatever the request may need is allocated before anything changes: when memory runs
  // out, the request is refused as by a full queue, and nothing is parked or queued.
  std::list<Waiter> waiter;
  std::list<Call> fresh;
  try {
    waiter.emplace_back();
    fresh.emplace_back();
    fresh.back().origin = origin;
    char site[kSiteSize];
    fresh.back().site = siteOfOrigin(origin, site, sizeof site);
  } catch (const std::bad_alloc&) {
    HALVORANT_MEMORY_FAIL();
    freeHalvorantJsonMap(map);
    return kAwaitHeartbeat;
  }
  std::unique_lock<std::mutex> lock(g_lock);
  if (g_stopping) {
    lock.unlock();
    freeHalvorantJsonMap(map);
    return kAwaitClosed;
  }
  Call* call = findCall(origin);
  if (call != nullptr && call->state == kDone) {
    const bool timedOut = call->timedOut;
    *answer = call->result;
    call->result = nullptr;
    removeCall(call);
    lock.unlock();
    freeHalvorantJsonMap(map);
    if (timedOut) return kAwaitTimedOut;
    printfColorLine("Main thread mode finish!", "");
    return kAwaitAnswer;
  }
  int ofSite = 0;
  int live = 0;
  for (const Call& other : g_calls) {
    if (other.dropped) continue;
    ++live;
    ofSite += other.site == fresh.back().site ? 1 : 0;
  }
  if (call != nullptr) {
    // This origin's call is queued or running: its parameters are the ones used.
    printfColorLine("Wait main thread result", "");
    call->lastRequest = Clock::now();
    call->peer = handOff.peer;
    call->goneAt = Clock::time_point{};
  } else if (g_mainLost) {
    lock.unlock();
    freeHalvorantJsonMap(map);
    printfColorWarningLine("Main thread call refused, the main thread is inside an abandoned call: ", origin);
    return kAwaitRefused;
  } else if (live >= kMainThreadMaxCalls || ofSite >= kMainThreadCallsPerSite) {
    lock.unlock();
    freeHalvorantJsonMap(map);
    printfColorWarningLine(live >= kMainThreadMaxCalls ? "Main thread queue full: " : "Main thread queue full for site: ",
                           origin);
    return kAwaitHeartbeat;
  } else {
    fresh.back().map = map;
    fresh.back().lastRequest = Clock::now();
    fresh.back().peer = handOff.peer;
    map = nullptr;
    const bool first = g_calls.empty();
    g_calls.splice(g_calls.end(), fresh);
    call = &g_calls.back();
    printfColorLine(first ? "Start main thread" : "Queue main thread call: ", first ? "" : origin);
    g_wake = true;
    g_work.notify_all();
  }
  if (handOff.park != nullptr) handOff.park(handOff.user);
  waiter.back().call = call;
  waiter.back().handOff = handOff;
  waiter.back().deadline = Clock::now() + std::chrono::milliseconds(windowMs > 0 ? windowMs : 0);
  g_waiters.splice(g_waiters.end(), waiter);
  lock.unlock();
  g_timer.notify_all();
  freeHalvorantJsonMap(map);
  return kAwaitParked;
}

bool MainThread_RunPending(MainThreadProcess process) {
  if (process == nullptr) return false;
  Call* call = nullptr;
  HalvorantJsonMap* request = nullptr;
  const char* origin = nullptr;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_stopping) return false;
    for (auto it = g_calls.begin(); it != g_calls.end() && call == nullptr;) {
      bool waited = false;
      for (const Waiter& w : g_waiters) waited = waited || w.call == &*it;
      if (it->state == kQueued && !waited && it->goneAt != Clock::time_point{}) {
        // Its page went before the call could start, and nobody waits for it.
        printfColorWarningLine("Connection closed before its work started, main thread call dropped: ",
                               it->origin.c_str());
        it = retire(it);
        continue;
      }
      if (it->state == kQueued) call = &*it;
      ++it;
    }
    if (call == nullptr) return false;
    // Taken out before it runs: whatever happens, it never runs a second time. A running
    // call stays in the list (stop and expiry only mark it), so its origin stays readable.
    call->state = kRunning;
    call->inRunner = true;
    call->deadline = Clock::now() + g_options.limit;
    request = call->map;
    call->map = nullptr;
    origin = call->origin.c_str();
  }
  g_timer.notify_all();
  printfColorLine("Main thread mode call start", "");
  flushConsole();
  HalvorantJsonMap* result = process(request, origin);
  freeHalvorantJsonMap(request);
  printfColorLine("Main thread mode call finish", "");

  std::list<Waiter> deliveries;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    call->inRunner = false;
    if (call->timedOut) {
      // Abandoned meanwhile: its page was told; the main thread takes calls again.
      g_mainLost = false;
      freeHalvorantJsonMap(result);
      printfColorWarningLine("Late main thread result discarded: ", call->origin.c_str());
      if (call->dropped) removeCall(call);
      return true;
    }
    if (call->dropped) {
      // Stop closed its waiters meanwhile.
      freeHalvorantJsonMap(result);
      removeCall(call);
      return true;
    }
    // The first waiting request of the owner collects the result; the owner's other
    // waiters are told to come again, which starts their own call.
    bool collected = false;
    for (auto it = g_waiters.begin(); it != g_waiters.end();) {
      if (it->call != call) {
        ++it;
      } else if (!collected) {
        it = moveOut(it, kHandOffAnswer, result, &deliveries);
        collected = true;
      } else {
        it = moveOut(it, kHandOffHeartbeat, nullptr, &deliveries);
      }
    }
    if (collected) {
      removeCall(call);
    } else {
      call->result = result;
      call->state = kDone;
      call->doneAt = Clock::now();
    }
  }
  g_timer.notify_all();
  deliverAll(deliveries);
  return true;
}

void MainThread_WaitWork(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(g_lock);
  auto ready = [] {
    if (g_wake || g_stopping) return true;
    for (const Call& call : g_calls)
      if (call.state == kQueued) return true;
    return false;
  };
  if (until == Clock::time_point::max())
    g_work.wait(lock, ready);
  else
    g_work.wait_until(lock, until, ready);
  g_wake = false;
}

void MainThread_Wake() {
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_wake = true;
  }
  g_work.notify_all();
}

void MainThread_DropStale(std::chrono::steady_clock::time_point now) {
  std::lock_guard<std::mutex> guard(g_lock);
  dropStale(now);
}

int MainThread_CallCount() {
  std::lock_guard<std::mutex> guard(g_lock);
  return static_cast<int>(g_calls.size());
}

void MainThread_ConnectionClosed(const void* peer) {
  if (peer == nullptr) return;
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    for (Call& call : g_calls) {
      if (call.peer != peer) continue;
      call.peer = nullptr;
      call.goneAt = Clock::now();
      changed = true;
    }
  }
  if (changed) g_timer.notify_all();
}
