// Main-thread calls: per-origin ownership, a first-come queue, parked requests and the timer.
#include "front/MainThread.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "diag/Console.h"
#include "map/Json.h"

namespace {

using Clock = std::chrono::steady_clock;

enum CallState { kQueued, kRunning, kDone };

struct Call {
  std::string origin;
  HalvorantJsonMap* map = nullptr;     // the starting request's map, until the call ran
  HalvorantJsonMap* result = nullptr;  // the call's answer, until collected or dropped
  CallState state = kQueued;
  Clock::time_point doneAt{};
  bool dropped = false;  // stop let it go while it ran: its runner removes it
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
std::thread g_timerThread;

// Heartbeats sent for calls still outstanding; 0 once none is.
int32_t iHeartBeats = 0;

Call* findCall(const char* origin) {
  for (Call& call : g_calls)
    if (!call.dropped && call.origin == origin) return &call;
  return nullptr;
}

void removeCall(const Call* call) {
  for (auto it = g_calls.begin(); it != g_calls.end(); ++it) {
    if (&*it == call) {
      g_calls.erase(it);
      break;
    }
  }
  if (g_calls.empty()) iHeartBeats = 0;
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
    if (d.outcome == kHandOffAnswer) printfColorLine("Main thread mode finish!", "");
    d.handOff.deliver(d.handOff.user, d.outcome, d.answer);
  }
  deliveries.clear();
}

// Under g_lock: finished results nobody collected in time are wiped and dropped.
void dropStale(Clock::time_point now) {
  for (auto it = g_calls.begin(); it != g_calls.end();) {
    Call& call = *it;
    if (call.state == kDone && now - call.doneAt >= kMainThreadResultLifetime) {
      printfColorWarningLine("Main thread result not collected, dropped: ", call.origin.c_str());
      freeHalvorantJsonMap(call.result);  // wipes every text it holds
      it = g_calls.erase(it);
    } else {
      ++it;
    }
  }
  if (g_calls.empty()) iHeartBeats = 0;
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
  for (const Call& call : g_calls)
    if (call.state == kDone) next = std::min(next, call.doneAt + kMainThreadResultLifetime);
  return next;
}

// Heartbeats and expiry; while a call runs it also keeps the console flushed.
void timerLoop() {
  std::unique_lock<std::mutex> lock(g_lock);
  std::list<Waiter> deliveries;
  while (!g_stopping) {
    bool busy = false;
    for (const Call& call : g_calls) busy = busy || call.state != kDone;
    Clock::time_point wakeAt = nextEvent();
    if (busy) wakeAt = std::min(wakeAt, Clock::now() + std::chrono::milliseconds(100));
    if (wakeAt == Clock::time_point::max())
      g_timer.wait(lock);
    else
      g_timer.wait_until(lock, wakeAt);
    if (g_stopping) break;
    expire(Clock::now(), &deliveries);
    lock.unlock();
    deliverAll(deliveries);
    flushConsole();
    lock.lock();
  }
}

}  // namespace

void MainThread_Start() {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_timerRuns) return;
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
    for (auto it = g_calls.begin(); it != g_calls.end();) {
      freeHalvorantJsonMap(it->map);
      it->map = nullptr;
      freeHalvorantJsonMap(it->result);
      it->result = nullptr;
      if (it->state == kRunning) {
        // Its runner still reads the origin; it removes the call when it returns.
        it->dropped = true;
        ++it;
      } else {
        it = g_calls.erase(it);
      }
    }
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
    *answer = call->result;
    call->result = nullptr;
    removeCall(call);
    lock.unlock();
    freeHalvorantJsonMap(map);
    printfColorLine("Main thread mode finish!", "");
    return kAwaitAnswer;
  }
  if (call != nullptr) {
    // This origin's call is queued or running: its parameters are the ones used.
    printfColorLine("Wait main thread result", "");
  } else if (static_cast<int>(g_calls.size()) >= kMainThreadMaxCalls) {
    lock.unlock();
    freeHalvorantJsonMap(map);
    printfColorWarningLine("Main thread queue full: ", origin);
    return kAwaitHeartbeat;
  } else {
    fresh.back().map = map;
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
    for (Call& candidate : g_calls) {
      if (candidate.state == kQueued) {
        call = &candidate;
        break;
      }
    }
    if (call == nullptr) return false;
    // Taken out before it runs: whatever happens, it never runs a second time. A running
    // call stays in the list (stop only marks it), so its origin stays readable.
    call->state = kRunning;
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

void MainThread_WaitWork(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(g_lock);
  auto ready = [] {
    if (g_wake || g_stopping) return true;
    for (const Call& call : g_calls)
      if (call.state == kQueued) return true;
    return false;
  };
  g_work.wait_for(lock, timeout, ready);
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
