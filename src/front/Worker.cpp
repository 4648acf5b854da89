// The worker pool of requests without the main-thread flag: order keys, time limits,
// lost threads.
#include "front/Worker.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <list>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "diag/Console.h"
#include "map/Json.h"
#include "util/ResultCodes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
  std::string origin;
  HalvorantJsonMap* map = nullptr;
  HandOff handOff{};
};

// One order key's jobs: the first runs, the others wait.
struct Lane {
  std::deque<Job> jobs;
  bool running = false;
};

struct Runner {
  std::thread thread;
  pthread_t id{};
  bool busy = false;
  bool lost = false;  // abandoned inside its job; its page was answered
  Clock::time_point deadline{};
  std::map<std::string, Lane>::iterator lane;
  HandOff handOff{};  // of the running job
  std::string origin;
};

std::mutex g_lock;
std::condition_variable g_ready;  // runners: a lane is ready, or stop
std::condition_variable g_watch;  // watchdog: a job started or ended, or stop
std::map<std::string, Lane> g_lanes;
std::deque<std::map<std::string, Lane>::iterator> g_readyLanes;
std::list<Runner> g_runners;  // stable addresses; lost ones stay until they return
int g_lost = 0;
unsigned long long g_ownKeys = 0;  // keys of requests that follow no other
bool g_running = false;
bool g_stopping = false;
MainThreadProcess g_process = nullptr;
WorkerOptions g_options;
std::thread g_watchdog;

int aliveRunners() {
  int alive = 0;
  for (const Runner& r : g_runners) alive += r.lost ? 0 : 1;
  return alive;
}

// Under g_lock: the lane's running job has ended; its next job becomes ready.
void laneDone(std::map<std::string, Lane>::iterator lane) {
  lane->second.running = false;
  if (lane->second.jobs.empty()) {
    g_lanes.erase(lane);
  } else {
    g_readyLanes.push_back(lane);
    g_ready.notify_one();
  }
}

void lostLine() {
  char text[96];
  snprintf(text, sizeof text, "%d still inside an adapter (at most %d)", Worker_LostThreads(), kWorkerMaxLost);
  printfColorWarningLine("Adapter threads lost: ", text);
}

bool connectionGone(const HandOff& handOff) { return handOff.gone != nullptr && handOff.gone(handOff.user); }

void runnerLoop(Runner* self);

// Under g_lock.
void spawnRunner() {
  g_runners.emplace_back();
  Runner* runner = &g_runners.back();
  runner->thread = std::thread(runnerLoop, runner);
}

void runnerLoop(Runner* self) {
  std::unique_lock<std::mutex> lock(g_lock);
  self->id = pthread_self();
  for (;;) {
    g_ready.wait(lock, [] { return g_stopping || !g_readyLanes.empty(); });
    if (g_stopping && g_readyLanes.empty()) return;
    auto lane = g_readyLanes.front();
    g_readyLanes.pop_front();
    Job job = std::move(lane->second.jobs.front());
    lane->second.jobs.pop_front();
    lane->second.running = true;
    self->busy = true;
    self->lane = lane;
    self->handOff = job.handOff;
    self->origin = job.origin;
    self->deadline = Clock::now() + g_options.limit;
    g_watch.notify_all();
    lock.unlock();

    HalvorantJsonMap* answer = nullptr;
    HandOffOutcome outcome = kHandOffAnswer;
    if (connectionGone(job.handOff)) {
      // Its page has gone: the work is not done at all.
      printfColorWarningLine("Connection closed before its work started, request dropped: ", job.origin.c_str());
      outcome = kHandOffClosed;
    } else {
      try {
        answer = g_process(job.map, job.origin.c_str());
      } catch (...) {
        printfColorErrorLine("Request processing failed: ", "an exception reached the worker");
        answer = nullptr;
      }
    }
    freeHalvorantJsonMap(job.map);

    lock.lock();
    if (self->lost) {
      // Its page had its time-out answer long ago; nobody may see this one.
      --g_lost;
      self->lost = false;
      self->busy = false;
      lock.unlock();
      freeHalvorantJsonMap(answer);
      printfColorWarningLine("Late adapter result discarded: ", job.origin.c_str());
      lostLine();
      lock.lock();
      // Back in service unless the pool is whole again without it.
      if (g_stopping || aliveRunners() > kWorkerThreads) {
        self->thread.detach();
        for (auto it = g_runners.begin(); it != g_runners.end(); ++it) {
          if (&*it == self) {
            g_runners.erase(it);
            break;
          }
        }
        return;
      }
      continue;
    }
    self->busy = false;
    laneDone(lane);
    g_watch.notify_all();
    lock.unlock();
    if (outcome == kHandOffAnswer && connectionGone(job.handOff)) {
      printfColorWarningLine("Connection closed, result discarded: ", job.origin.c_str());
      freeHalvorantJsonMap(answer);
      answer = nullptr;
      outcome = kHandOffClosed;
    }
    // The lines it printed leave with the answer's (the listener flushes).
    job.handOff.deliver(job.handOff.user, outcome, answer);
    lock.lock();
  }
}

// Under g_lock: abandons every busy runner whose deadline is before limit; their pages
// are added to out with outcome. Replaces them while lost threads stay under the bound.
struct Abandoned {
  HandOff handOff;
  pthread_t id;
  std::string origin;
};
void abandonDue(Clock::time_point limit, std::list<Abandoned>* out) {
  for (Runner& r : g_runners) {
    if (!r.busy || r.lost || r.deadline > limit) continue;
    r.lost = true;
    ++g_lost;
    out->push_back({r.handOff, r.id, r.origin});
    laneDone(r.lane);
    if (!g_stopping && g_lost < kWorkerMaxLost) spawnRunner();
  }
}

void tellAbandoned(std::list<Abandoned>& abandoned, HandOffOutcome outcome) {
  for (Abandoned& a : abandoned) {
    printfColorWarningLine("Adapter call abandoned after its time limit: ", a.origin.c_str());
    if (g_options.abandon != nullptr) g_options.abandon(a.id);
    lostLine();
    a.handOff.deliver(a.handOff.user, outcome, nullptr);
  }
  abandoned.clear();
}

// Sleeps until the earliest deadline of a running job; without one, until woken.
void watchdogLoop() {
  std::unique_lock<std::mutex> lock(g_lock);
  std::list<Abandoned> abandoned;
  while (!g_stopping) {
    Clock::time_point next = Clock::time_point::max();
    for (const Runner& r : g_runners)
      if (r.busy && !r.lost) next = std::min(next, r.deadline);
    if (next == Clock::time_point::max())
      g_watch.wait(lock);
    else
      g_watch.wait_until(lock, next);
    if (g_stopping) break;
    abandonDue(Clock::now(), &abandoned);
    if (abandoned.empty()) continue;
    lock.unlock();
    tellAbandoned(abandoned, kHandOffTimedOut);
    flushConsole();
    lock.lock();
  }
}

}  // namespace

void Worker_Start(MainThreadProcess process, WorkerOptions options) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_running || process == nullptr) return;
  g_process = process;
  g_options = options;
  g_stopping = false;
  g_running = true;
  for (int i = 0; i < kWorkerThreads; ++i) spawnRunner();
  g_watchdog = std::thread(watchdogLoop);
}

void Worker_Stop(std::chrono::milliseconds grace) {
  std::list<Job> left;
  {
    std::unique_lock<std::mutex> lock(g_lock);
    if (!g_running) return;
    g_stopping = true;
    for (auto& lane : g_lanes)
      for (Job& job : lane.second.jobs) left.push_back(std::move(job));
    for (auto& lane : g_lanes) lane.second.jobs.clear();
    g_readyLanes.clear();
  }
  g_ready.notify_all();
  g_watch.notify_all();
  if (g_watchdog.joinable()) g_watchdog.join();
  for (Job& job : left) {
    freeHalvorantJsonMap(job.map);
    job.handOff.deliver(job.handOff.user, kHandOffClosed, nullptr);
  }
  // Running jobs get the grace; whoever is still inside an adapter then is let go.
  std::list<Abandoned> abandoned;
  std::list<std::thread> joins;
  {
    std::unique_lock<std::mutex> lock(g_lock);
    const Clock::time_point end = Clock::now() + grace;
    auto settled = [] {
      for (const Runner& r : g_runners)
        if (r.busy && !r.lost) return false;
      return true;
    };
    while (!settled() && g_watch.wait_until(lock, end) != std::cv_status::timeout) {
    }
    abandonDue(Clock::time_point::max(), &abandoned);
    for (Runner& r : g_runners) {
      if (r.lost) {
        if (r.thread.joinable()) r.thread.detach();
      } else if (r.thread.joinable()) {
        joins.push_back(std::move(r.thread));
      }
    }
  }
  tellAbandoned(abandoned, kHandOffClosed);
  for (std::thread& t : joins) t.join();
  std::lock_guard<std::mutex> guard(g_lock);
  for (auto it = g_runners.begin(); it != g_runners.end();) it = it->lost ? std::next(it) : g_runners.erase(it);
  g_lanes.clear();
  g_running = false;
}

bool Worker_KeyIdle(const char* key) {
  std::lock_guard<std::mutex> guard(g_lock);
  return key == nullptr || key[0] == '\0' || g_lanes.find(key) == g_lanes.end();
}

bool Worker_Idle() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lanes.empty();
}

int Worker_LostThreads() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_lost;
}

bool Worker_Submit(const char* origin, HalvorantJsonMap* map, HandOff handOff, int32_t* refusal) {
  if (refusal != nullptr) *refusal = 0;
  if (origin == nullptr || handOff.deliver == nullptr) {
    HALVORANT_NULL_WARNING(origin == nullptr ? "origin" : "deliver");
    freeHalvorantJsonMap(map);
    return false;
  }
  char key[640];
  if (g_options.orderKey != nullptr)
    g_options.orderKey(map, origin, key, sizeof key);
  else
    snprintf(key, sizeof key, "%s", origin);
  bool queued = false;
  try {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_running && !g_stopping) {
      std::string name = key[0] != '\0' ? std::string(key) : "\x02" + std::to_string(++g_ownKeys);
      if (g_lost >= kWorkerMaxLost) {
        if (refusal != nullptr) *refusal = kResult_ADAPTERS_STUCK;
      } else {
        auto lane = g_lanes.emplace(std::move(name), Lane{}).first;
        if (static_cast<int>(lane->second.jobs.size()) >= kWorkerQueuedPerKey) {
          if (refusal != nullptr) *refusal = kResult_SESSION_QUEUE_FULL;
        } else {
          // Queued before it is parked: an allocation that fails leaves nothing
          // suspended, and nothing throws into the listener's C callback.
          lane->second.jobs.push_back({origin, map, handOff});
          if (!lane->second.running && lane->second.jobs.size() == 1) {
            try {
              g_readyLanes.push_back(lane);
            } catch (const std::bad_alloc&) {
              lane->second.jobs.pop_back();
              g_lanes.erase(lane);
              throw;
            }
            g_ready.notify_one();
          }
          map = nullptr;
          queued = true;
          if (handOff.park != nullptr) handOff.park(handOff.user);
        }
        if (!queued && lane->second.jobs.empty() && !lane->second.running) g_lanes.erase(lane);
      }
    }
  } catch (const std::bad_alloc&) {
    HALVORANT_MEMORY_FAIL();
  }
  if (!queued) freeHalvorantJsonMap(map);
  if (refusal != nullptr && *refusal == kResult_SESSION_QUEUE_FULL)
    printfColorWarningLine("Too many requests waiting for one session, refused: ", origin);
  if (refusal != nullptr && *refusal == kResult_ADAPTERS_STUCK) lostLine();
  return queued;
}
