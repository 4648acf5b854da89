// Main-thread calls: per-origin ownership, a first-come queue, parked requests and the timer.
#include "front/MainThread.h"

#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
};

struct Waiter {
  std::string origin;
  HandOff handOff;
  Clock::time_point deadline;
};

struct Delivery {
  HandOff handOff;
  HandOffOutcome outcome;
  HalvorantJsonMap* answer;
};

std::mutex g_lock;
std::condition_variable g_work;   // main thread: a call was queued, or a wake
std::condition_variable g_timer;  // timer: a waiter or a result came or went
std::deque<std::unique_ptr<Call>> g_calls;  // oldest first
std::list<Waiter> g_waiters;                // in arrival order
bool g_stopping = false;
bool g_wake = false;
bool g_timerRuns = false;
std::thread g_timerThread;

// Heartbeats sent for calls still outstanding; 0 once none is.
int32_t iHeartBeats = 0;

Call* findCall(const std::string& origin) {
  for (auto& call : g_calls)
    if (call->origin == origin) return call.get();
  return nullptr;
}

void removeCall(const Call* call) {
  for (auto it = g_calls.begin(); it != g_calls.end(); ++it) {
    if (it->get() == call) {
      g_calls.erase(it);
      break;
    }
  }
  if (g_calls.empty()) iHeartBeats = 0;
}

void deliverAll(std::vector<Delivery>& deliveries) {
  for (Delivery& d : deliveries) {
    if (d.outcome == kHandOffHeartbeat) printfColorLine("", "No result from component yet send heartbeat");
    if (d.outcome == kHandOffAnswer) printfColorLine("Main thread mode finish!", "");
    d.handOff.deliver(d.handOff.user, d.outcome, d.answer);
  }
  deliveries.clear();
}

// Under g_lock: finished results nobody collected in time are wiped and dropped.
void dropStale(Clock::time_point now) {
  for (auto it = g_calls.begin(); it != g_calls.end();) {
    Call& call = **it;
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
void expire(Clock::time_point now, std::vector<Delivery>* out) {
  for (auto it = g_waiters.begin(); it != g_waiters.end();) {
    if (it->deadline <= now) {
      out->push_back({it->handOff, kHandOffHeartbeat, nullptr});
      ++iHeartBeats;
      it = g_waiters.erase(it);
    } else {
      ++it;
    }
  }
  dropStale(now);
}

Clock::time_point nextEvent() {
  Clock::time_point next = Clock::time_point::max();
  for (const Waiter& w : g_waiters) next = std::min(next, w.deadline);
  for (const auto& call : g_calls)
    if (call->state == kDone) next = std::min(next, call->doneAt + kMainThreadResultLifetime);
  return next;
}

// Heartbeats and expiry; while a call runs it also keeps the console flushed.
void timerLoop() {
  std::unique_lock<std::mutex> lock(g_lock);
  std::vector<Delivery> deliveries;
  while (!g_stopping) {
    bool busy = false;
    for (const auto& call : g_calls) busy = busy || call->state != kDone;
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
  std::vector<Delivery> deliveries;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    g_stopping = true;
    for (Waiter& w : g_waiters) deliveries.push_back({w.handOff, kHandOffClosed, nullptr});
    g_waiters.clear();
    for (auto& call : g_calls) {
      freeHalvorantJsonMap(call->map);
      freeHalvorantJsonMap(call->result);
    }
    g_calls.clear();
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
  std::unique_lock<std::mutex> lock(g_lock);
  if (g_stopping) {
    lock.unlock();
    freeHalvorantJsonMap(map);
    return kAwaitClosed;
  }
  const std::string owner(origin);
  Call* call = findCall(owner);
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
    auto fresh = std::make_unique<Call>();
    fresh->origin = owner;
    fresh->map = map;
    map = nullptr;
    const bool first = g_calls.empty();
    g_calls.push_back(std::move(fresh));
    printfColorLine(first ? "Start main thread" : "Queue main thread call: ", first ? "" : origin);
    g_wake = true;
    g_work.notify_all();
  }
  if (handOff.park != nullptr) handOff.park(handOff.user);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(windowMs > 0 ? windowMs : 0);
  g_waiters.push_back({owner, handOff, deadline});
  lock.unlock();
  g_timer.notify_all();
  freeHalvorantJsonMap(map);
  return kAwaitParked;
}

bool MainThread_RunPending(MainThreadProcess process) {
  if (process == nullptr) return false;
  Call* call = nullptr;
  HalvorantJsonMap* request = nullptr;
  std::string origin;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_stopping) return false;
    for (auto& candidate : g_calls) {
      if (candidate->state == kQueued) {
        call = candidate.get();
        break;
      }
    }
    if (call == nullptr) return false;
    // Taken out before it runs: whatever happens, it never runs a second time.
    call->state = kRunning;
    request = call->map;
    call->map = nullptr;
    origin = call->origin;
  }
  g_timer.notify_all();
  printfColorLine("Main thread mode call start", "");
  flushConsole();
  HalvorantJsonMap* result = process(request, origin.c_str());
  freeHalvorantJsonMap(request);
  printfColorLine("Main thread mode call finish", "");

  std::vector<Delivery> deliveries;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_stopping) {
      // Stop already cleared the queue (and this call with it).
      freeHalvorantJsonMap(result);
      return true;
    }
    // The first waiting request of the owner collects the result; the owner's other
    // waiters are told to come again, which starts their own call.
    bool collected = false;
    for (auto it = g_waiters.begin(); it != g_waiters.end();) {
      if (it->origin != origin) {
        ++it;
        continue;
      }
      if (!collected) {
        deliveries.push_back({it->handOff, kHandOffAnswer, result});
        collected = true;
      } else {
        deliveries.push_back({it->handOff, kHandOffHeartbeat, nullptr});
      }
      it = g_waiters.erase(it);
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
    for (const auto& call : g_calls)
      if (call->state == kQueued) return true;
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
