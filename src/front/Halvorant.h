// Internal to src/front/: no other module includes it.
// Process-wide state of the service and its start-up, main-thread hand-off and shutdown.
//
// Threads: the main thread runs start-up, the service loop (main-thread calls) and the final
// stop; each listener runs the request handler on its own thread and never waits for an
// adapter; the worker pool (Worker.h) processes requests without the main-thread flag; the
// stop thread takes the stop signals. Request processing guards the session table itself
// (RequestLock, session/HalvorantSession.h) and runs adapters outside that lock.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>

struct HalvorantJsonMap;
struct MHD_Daemon;

constexpr const char* kHalvorantVersion = "1.0.23.0510";
constexpr const char* kExecuteSetting = "Nox";

// ---- Directories and identity (written once at start-up, read-only afterwards) --------

extern char CopyPath[4096];          // working copy directory for adapters: /tmp/NoxHalvorant
extern char ExecutePath[4096];       // directory of the running executable
extern int32_t uid;                  // console user at start-up; requests must match it
extern const uint32_t HalvorantProcessID;  // passed to request processing; always 0

// ---- Flags shared between threads -------------------------------------------------------

extern std::atomic<bool> HalvorantClose;  // set only by HalvorantFinal; ends the loop
// Set first thing by HalvorantFinal: from then on no connection is accepted and no request
// processed (an answer already queued still goes out).
extern std::atomic<bool> HalvorantStopping;

// One request through request processing (the workers' and the main thread's processing
// function); null once the service is closing.
HalvorantJsonMap* processRequest(HalvorantJsonMap* request, const char* origin);
// On a listener thread: processes request at once when nothing of its session is queued
// or running and the request is quick (HalvorantSession_IsQuick), sparing the hand-off to
// a worker and back. False when it was not processed (the request is untouched); else
// true with *answer set (null when no answer map could be made or the service is closing).
bool processQuickRequest(HalvorantJsonMap* request, const char* origin, HalvorantJsonMap** answer);

// How long a stop may take in all (from the signal or the console-user change to exit),
// and how long running adapter calls get of it.
constexpr int kStopDeadlineMs = 1600;
constexpr int kStopGraceMs = 1000;
// The adapter call limit: kAdapterCallLimit, or NOX_TEST_CALL_LIMIT_MS (tests) when shorter.
std::chrono::milliseconds adapterCallLimit();

// ---- Listeners --------------------------------------------------------------------------

// Handles by port position 0..2; null when that listener did not start.
extern MHD_Daemon* DaemonIPv4[3];
extern MHD_Daemon* DaemonIPv6[3];

extern const char PortList[];  // "port=56469 56569 56669": each port is 2000 above the real one
extern int ServicePorts[3];    // 54469, 54569, 54669 once start-up has derived them

// Reads three ports from a port-list text ("port=%d %d %d") and subtracts 2000 from
// each. False (ports untouched) unless all three give a port in 1..65535.
bool derivePorts(const char* portList, int ports[3]);

// Steps of start-up that belong to the listener module (Listeners.cpp): credentials,
// TLS priority, the six listeners in the order 127.0.0.1:54469, [::1]:54469, ... and the
// wiping of key and certificate texts. uid is already recorded when it is called.
// Returns how many listeners started (0..6); 0 also when the credentials are missing.
int startListeners();
// Stops every listener that started, IPv4 before IPv6 for each port position.
void stopListeners();
// The listeners accept nothing more; connections waiting to be accepted stay queued in
// the sockets (a service manager that handed them over starts the service again for them).
void quiesceListeners();
// Socket activation: the count sockets from first on, handed over by the service manager,
// matched to the listeners' slots (2*i: 127.0.0.1:ports[i], 2*i+1: [::1]:ports[i]) into
// slots[6] (-1: none, the listener binds its address). A socket that is not a listening
// TCP socket on one of those addresses, or repeats one, gets an error line and is closed; a
// slot left empty gets an error line. Prints nothing when count is 0.
void matchActivationSockets(int first, int count, const int ports[3], int slots[6]);

// ---- Service loop ------------------------------------------------------------------------

// The service loop: runs main-thread calls (MainThread.h) until HalvorantClose. It sleeps
// without a time-out while nothing is queued, unless an idle exit is set: then it wakes
// when the service may have been idle long enough, and at most once per idle time besides.
void runServiceLoop();

// The idle exit (--idle-exit=SECONDS): the service ends by itself, status 0, once it has
// had no connection, no session, no live stored value and no pending call for that long.
// 0 (the default): never.
void setIdleExit(std::chrono::seconds after);
// What holds the service up, as the loop sees it at one moment.
struct IdleView {
  bool holders = false;      // a session, a main-thread call, worker work, a value without time-out
  bool connections = false;  // a connection is open
  std::chrono::steady_clock::time_point lastClosed{};   // when the last connection closed
  std::chrono::steady_clock::time_point valuesUntil{};  // when the last live value expires
};
// The loop's memory between two looks.
struct IdleWatch {
  std::chrono::steady_clock::time_point quietFrom{};  // no holder known since (start-up at first)
  bool held = false;                                  // the last look saw a holder
};
// When the service may end for idleness, seen at now: at or before now it may end now;
// otherwise the loop looks again then. A holder's end is not announced, so the first look
// that no longer sees one counts from itself; a connection's end is known exactly.
std::chrono::steady_clock::time_point idleExitAt(const IdleView& view, std::chrono::steady_clock::time_point now,
                                                 std::chrono::seconds after, IdleWatch* watch);
// Makes the loop look at its flags now (used after HalvorantClose is set).
void wakeServiceLoop();
// SIGINT, SIGTERM and SIGUSR1 (the stop thread's wake-up) are blocked in every thread;
// SIGPIPE is ignored. Called on the main thread before any other thread starts.
void installStopSignals();
// The stop thread: takes SIGINT/SIGTERM (and requestFinal) and runs HalvorantFinal. It is
// never inside an adapter, so a stop is answered whatever adapters do: from the signal
// on, the process exits within kStopDeadlineMs (the adapter copies deleted, exit status 0)
// even when a thread stays inside an adapter. startStopThread once before the listeners;
// endStopThread when the service ends by itself.
void startStopThread();
void endStopThread();
// Asks the stop thread to run HalvorantFinal (from a thread that must not wait for it).
void requestFinal();
// Milliseconds left before the stop deadline (a large number while no stop runs).
long stopTimeLeftMs();
// The process is about to leave HalvorantMain: the stop deadline no longer acts.
void markExiting();

// ---- Start-up and shutdown --------------------------------------------------------------

// Shutdown routine: releases every session and adapter, prints its two lines and sets
// HalvorantClose. Runs once; later calls do nothing. It takes RequestLock itself, so
// adapters are never released under a running call: call it without holding the lock.
void HalvorantFinal();

// Hands back to the kernel what start-up leaves resident and never uses again: free heap
// pages and the wiped stack below the caller's frame (StartupMemory.cpp). Main thread only.
void releaseStartupMemory();

// Start-up, service loop and listener stop; the process exit status (always 0).
int HalvorantMain();
