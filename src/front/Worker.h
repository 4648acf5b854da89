// Internal to src/front/: no other module includes it.
// Requests without the main-thread flag run on a small pool of worker threads, so no
// listener thread ever waits for an adapter and one page's slow call holds up no other
// page. Requests with the same order key (one session's) run one at a time in arrival
// order; different keys run side by side. A listener parks the request (HandOff,
// MainThread.h) and answers it when it is delivered.
//
// Every job has a time limit. A job still running at its limit is abandoned: its page is
// delivered kHandOffTimedOut, the abandon hook is told the thread (its sessions are never
// used again), the thread is counted as lost and replaced. Lost threads still inside an
// adapter are bounded (kWorkerMaxLost): at the bound new work is refused. A lost thread
// that returns drops its late answer and serves again (or ends).
#pragma once
#include <pthread.h>

#include <chrono>
#include <cstdint>

#include "front/MainThread.h"

constexpr int kWorkerThreads = 8;
// Requests of one order key waiting behind the running one; more are refused.
constexpr int kWorkerQueuedPerKey = 4;
// Lost threads (abandoned inside an adapter) at most; then new work is refused.
constexpr int kWorkerMaxLost = 8;
// The longest an adapter call may take (the shipped adapters keep their own limits below).
constexpr std::chrono::seconds kAdapterCallLimit{150};

struct WorkerOptions {
  // Writes the order key of a request (cut to size - 1); empty: a key of its own. Null:
  // the origin is the key.
  void (*orderKey)(const HalvorantJsonMap* request, const char* origin, char* key, unsigned size) = nullptr;
  // Told the thread whose job was abandoned (under no lock of this module). May be null.
  void (*abandon)(pthread_t thread) = nullptr;
  std::chrono::milliseconds limit = kAdapterCallLimit;
};

// Starts the workers with the function that processes one request. Once.
void Worker_Start(MainThreadProcess process, WorkerOptions options = {});
// Stops taking requests and delivers kHandOffClosed to the queued ones; running jobs get
// until grace has passed, then are abandoned (delivered kHandOffClosed). Joins every
// thread that is not lost. Safe to call again.
void Worker_Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));
// Queues map (taken over) for origin and parks the request; false (map released, nothing
// parked) when it cannot be queued: *refusal (when given) is then the result code to
// answer (kResult_SESSION_QUEUE_FULL, kResult_ADAPTERS_STUCK), or 0 for none (not
// running, stopping, out of memory).
bool Worker_Submit(const char* origin, HalvorantJsonMap* map, HandOff handOff, int32_t* refusal = nullptr);
// True when nothing of origin's order key (key computed as for a submission) is queued or
// running: a request processed elsewhere now overtakes none of its own order.
bool Worker_KeyIdle(const char* key);
// True when no job is queued or running at all.
bool Worker_Idle();
// Threads lost inside an adapter that have not returned.
int Worker_LostThreads();
