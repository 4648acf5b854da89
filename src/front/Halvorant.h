// Process-wide state of the service and its start-up, main-thread hand-off and shutdown.
//
// Threads: the main thread runs start-up, the service loop and the final stop; each
// listener runs the request handler on its own thread. The request slot below exists
// once; RequestLock serialises request processing, which is not re-entrant.
#pragma once
#include <atomic>
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

extern std::atomic<bool> HalvorantClose;          // set only by HalvorantFinal; ends the loop
extern std::atomic<bool> isCallMainThreadFinish;  // false while a main-thread call is pending

// ---- Request slot (one for the whole service) -------------------------------------------
// The main thread touches JsonMap, Origin and result only while isCallMainThreadFinish
// is false; the handler reads result for a main-thread request after it turned true.

extern HalvorantJsonMap* JsonMap;   // the request's parameter map, owned by the slot
extern char* Origin;                // the calling page's origin, owned by the slot
extern HalvorantJsonMap* result;    // the answer map to send, owned by the slot
extern int32_t ResultLength;        // out-value of request processing; unused here

// Serialises HalvorantSession_Process between listener threads and the main thread.
// The heartbeat wait (waitMainThreadCall) must not hold it.
extern std::mutex RequestLock;

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

// ---- Main-thread hand-off ---------------------------------------------------------------

// Handler side: asks the main thread to run the slot's request now (clears
// isCallMainThreadFinish and wakes the loop at once).
void requestMainThreadCall();
// Handler side: waits up to milliseconds for the pending call to finish; true when
// isCallMainThreadFinish is true (at once if no call is pending).
bool waitMainThreadCall(int milliseconds);

// The service loop: runs main-thread calls until HalvorantClose, or until a stop signal
// (SIGINT, SIGTERM) has been taken, which leads through HalvorantFinal as well.
void runServiceLoop();
// Makes the loop look at its flags now (used after HalvorantClose is set).
void wakeServiceLoop();
// SIGINT and SIGTERM only mark a stop for the loop to act on; SIGPIPE is ignored.
void installStopSignals();

// ---- Start-up and shutdown --------------------------------------------------------------

// Shutdown routine: releases every session and adapter, prints its two lines and sets
// HalvorantClose. Runs once; later calls do nothing. It takes RequestLock itself, so
// adapters are never released under a running call: call it without holding the lock.
void HalvorantFinal();

// Start-up, service loop and listener stop; the process exit status (always 0).
int HalvorantMain();
