// The worker thread of requests without the main-thread flag.
#include "front/Worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "diag/Console.h"
#include "map/Json.h"

namespace {

struct Job {
  std::string origin;
  HalvorantJsonMap* map;
  HandOff handOff;
};

std::mutex g_lock;
std::condition_variable g_ready;
std::deque<Job> g_jobs;
bool g_running = false;
bool g_stopping = false;
bool g_busy = false;  // a job is being processed
MainThreadProcess g_process = nullptr;
std::thread g_thread;

void loop() {
  std::unique_lock<std::mutex> lock(g_lock);
  for (;;) {
    g_ready.wait(lock, [] { return g_stopping || !g_jobs.empty(); });
    if (g_stopping) return;
    Job job = std::move(g_jobs.front());
    g_jobs.pop_front();
    g_busy = true;
    lock.unlock();
    HalvorantJsonMap* answer = g_process(job.map, job.origin.c_str());
    freeHalvorantJsonMap(job.map);
    // The lines it printed leave with the answer's (the listener flushes).
    job.handOff.deliver(job.handOff.user, kHandOffAnswer, answer);
    lock.lock();
    g_busy = false;
  }
}

}  // namespace

void Worker_Start(MainThreadProcess process) {
  std::lock_guard<std::mutex> guard(g_lock);
  if (g_running || process == nullptr) return;
  g_process = process;
  g_stopping = false;
  g_running = true;
  g_thread = std::thread(loop);
}

void Worker_Stop() {
  std::deque<Job> left;
  {
    std::lock_guard<std::mutex> guard(g_lock);
    if (!g_running) return;
    g_stopping = true;
    left.swap(g_jobs);
  }
  g_ready.notify_all();
  g_thread.join();
  for (Job& job : left) {
    freeHalvorantJsonMap(job.map);
    job.handOff.deliver(job.handOff.user, kHandOffClosed, nullptr);
  }
  std::lock_guard<std::mutex> guard(g_lock);
  g_running = false;
}

bool Worker_Idle() {
  std::lock_guard<std::mutex> guard(g_lock);
  return g_jobs.empty() && !g_busy;
}

bool Worker_Submit(const char* origin, HalvorantJsonMap* map, HandOff handOff) {
  if (origin == nullptr || handOff.deliver == nullptr) {
    HALVORANT_NULL_WARNING(origin == nullptr ? "origin" : "deliver");
    freeHalvorantJsonMap(map);
    return false;
  }
  try {
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_running && !g_stopping) {
      // Queued before it is parked: an allocation that fails leaves nothing suspended,
      // and nothing throws into the listener's C callback.
      g_jobs.push_back({origin, map, handOff});
      map = nullptr;
      if (handOff.park != nullptr) handOff.park(handOff.user);
    }
  } catch (const std::bad_alloc&) {
    HALVORANT_MEMORY_FAIL();
  }
  if (map != nullptr) {
    freeHalvorantJsonMap(map);
    return false;
  }
  g_ready.notify_one();
  return true;
}
