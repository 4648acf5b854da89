// Internal to src/front/: no other module includes it.
// Main-thread calls: flagged requests hand their call to the process's main thread and are
// answered with its result, or with a heartbeat when it takes longer than their window.
//
// A call belongs to the origin that started it. Only that origin's flagged requests join
// it, receive its heartbeats and collect its result; other origins' calls queue behind it
// (first come, first served) and each runs exactly once. One site (registrable domain)
// has at most kMainThreadCallsPerSite calls at once, so its origins cannot fill the
// queue. A result nobody collects within kMainThreadResultLifetime is dropped and wiped;
// sooner (kMainThreadGoneLifetime) when its page's connection has closed and no request
// of its origin came since.
//
// A call still running at its limit is abandoned: its page is answered kHandOffTimedOut
// (a later request of its origin collects that), the abandon hook is told the main
// thread, and no further call is taken (kAwaitRefused) until the main thread returns. No caller ever blocks here: a request
// that must wait is parked and later delivered through its HandOff, from the main thread
// (result) or from the module's timer thread (heartbeat, or none at stop).
//
// The module allocates only when it takes a request in, before anything changes; when that
// fails the request is refused (kAwaitHeartbeat, the failure reported). Parking, running,
// heartbeats, expiry and stop allocate nothing, so a parked request is always delivered.
//
// All state (calls, waiters, flags, lock, condition variable) is this module's own.
#pragma once
#include <pthread.h>

#include <chrono>
#include <cstdint>

struct HalvorantJsonMap;

// How a parked request is told its outcome.
enum HandOffOutcome {
  kHandOffAnswer,     // answer holds the map to send (the caller takes it over)
  kHandOffHeartbeat,  // answer is null: send a heartbeat
  kHandOffClosed,     // answer is null: the service stops, or the page is gone; send nothing
  kHandOffTimedOut,   // answer is null: the adapter did not answer within its limit
};
struct HandOff {
  void* user;
  // Called under the module's lock once the request is accepted for parking; must not call
  // back into this module. May be null.
  void (*park)(void* user);
  // Called exactly once for a parked request, without the module's lock held.
  void (*deliver)(void* user, HandOffOutcome outcome, HalvorantJsonMap* answer);
  // True when the request's connection has closed (its page is gone). May be null.
  bool (*gone)(void* user);
  // The connection it came on (compared, never read); see MainThread_ConnectionClosed.
  const void* peer;
};

// Runs one call: the request map and its origin in, the answer map (or null) out.
using MainThreadProcess = HalvorantJsonMap* (*)(HalvorantJsonMap* request, const char* origin);

constexpr std::chrono::seconds kMainThreadResultLifetime{60};
constexpr std::chrono::seconds kMainThreadGoneLifetime{10};
// Calls queued, running or waiting for collection at once (one per origin), and of one site.
constexpr int kMainThreadMaxCalls = 32;
constexpr int kMainThreadCallsPerSite = 4;

enum AwaitVerdict {
  kAwaitParked,     // the request waits; its HandOff will be delivered
  kAwaitAnswer,     // *answer is the origin's finished result (caller takes it over)
  kAwaitHeartbeat,  // nothing can be queued right now (queue full, or out of memory): answer a heartbeat
  kAwaitClosed,     // stopping: answer nothing
  kAwaitTimedOut,   // the origin's call was abandoned at its limit: answer the time-out
  kAwaitRefused,    // the main thread is lost inside an adapter: answer kResult_ADAPTERS_STUCK
};

struct MainThreadOptions {
  std::chrono::milliseconds limit{std::chrono::hours(24 * 365)};  // a running call's limit
  void (*abandon)(pthread_t thread) = nullptr;  // told the main thread when its call is abandoned
};

// Starts the timer thread (heartbeats, expiry, the running call's limit). Once, before any
// listener. Call it on the main thread (the thread that runs the calls).
void MainThread_Start(MainThreadOptions options = {});
// Stops taking requests, delivers kHandOffClosed to every parked request, drops every
// result and joins the timer. Call on the main thread after the service loop ended (a
// call still running elsewhere is dropped when it returns).
void MainThread_Stop();

// A flagged request of origin. With a finished result of this origin waiting: that result.
// With this origin's call queued or running: joins it (map is released unused). Otherwise
// map (taken over in every case) becomes a new call queued behind the others. A parked
// request is delivered its outcome within windowMs, or when the call has finished.
AwaitVerdict MainThread_Await(const char* origin, HalvorantJsonMap* map, int windowMs, HandOff handOff,
                              HalvorantJsonMap** answer);

// Main thread: runs the oldest queued call through process and delivers its result; false
// when none was queued.
bool MainThread_RunPending(MainThreadProcess process);
// Main thread: waits for a queued call or MainThread_Wake, or until until (max: no limit).
void MainThread_WaitWork(std::chrono::steady_clock::time_point until);
// Wakes MainThread_WaitWork now.
void MainThread_Wake();

// Drops and wipes finished results older than kMainThreadResultLifetime at now (the timer
// does this by itself; tests call it with a time of their choosing).
void MainThread_DropStale(std::chrono::steady_clock::time_point now);

// Calls known to the module (queued, running or finished and not yet collected).
int MainThread_CallCount();

// The connection peer (a HandOff's peer) has closed.
void MainThread_ConnectionClosed(const void* peer);
