// Start-up, shutdown routine and the final stop of the listeners.
#include <microhttpd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <thread>

#include "diag/Console.h"
#include "front/CommandLine.h"
#include "front/Key.h"
#include "front/Halvorant.h"
#include "front/MainThread.h"
#include "front/Worker.h"
#include "front/HalvorantHttp.h"
#include "ipc/Message.h"
#include "platform/Platform.h"
#include "session/HalvorantQueue.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

#ifndef NOX_GIT_TIME
#define NOX_GIT_TIME "unknown"
#endif

namespace {

const char kBanner[] = "*************************************Halvorant*********************************";
const char kRule[] = "===============================================================================";
static_assert(sizeof kBanner == 80 && sizeof kRule == 80, "both lines are 79 characters");

std::atomic<bool> g_finalDone{false};

void boldLine(const char* text) {
  printfColorTextLine(COLOR_BOLD, text);
  flushConsole();
}

void printBuildData() {
  printfColorLine("Execute setting: ", kExecuteSetting);
  char compiled[64];
  snprintf(compiled, sizeof compiled, "%s %s", __DATE__, __TIME__);
  printfColorLine("Compile time: ", compiled);
  printfColorLine("Git time: ", NOX_GIT_TIME);
}

bool preparePorts() {
  if (!derivePorts(PortList, ServicePorts)) {
    printfColorErrorLine("Support port: ", PortList);
    return false;
  }
  char text[64];
  snprintf(text, sizeof text, "%d %d %d", ServicePorts[0], ServicePorts[1], ServicePorts[2]);
  printfColorLine("Support port: ", text);
  return true;
}

// The working directory lies in /tmp, where any local user may create it first. Only a
// real directory of this user that nobody else may write is used (log settings, file log,
// adapter copies check it again); a foreign one is left alone and the service goes on
// without it.
void checkWorkDirectory() {
  if (mkdir(CopyPath, 0700) != 0 && errno != EEXIST) {
    printfColorErrorLine("Work directory: ", CopyPath);
    return;
  }
  if (isPrivateDirectory(CopyPath)) return;
  char text[4096 + 256];
  snprintf(text, sizeof text,
           "%s is a link, belongs to another user or can be written by others: it is not used (no log "
           "settings, no file log, no adapter copies). Have it removed (by its owner or an administrator) "
           "and restart the service",
           CopyPath);
  printfColorErrorLine("Work directory: ", text);
}

// Start-up up to the listeners; false sends start-up to the final stop.
bool prepare() {
  ArrayCopyFree(CopyPath, sizeof CopyPath, getCopyPath("NoxHalvorant"));
  if (CopyPath[0] == '\0') {
    printfColorErrorLine("Extract copy path: ", "Fail");
    return false;
  }
  checkWorkDirectory();
  setLog("NoxHalvorant", "NoxHalvorant");
  boldLine(kBanner);
  printBuildData();
  setFinal(HalvorantFinal);

  ArrayCopyFree(ExecutePath, sizeof ExecutePath, getExecutePath());
  if (ExecutePath[0] == '\0') {
    printfColorErrorLine("Extract execute path: ", "Fail");
    return false;
  }
  printfColorLine("CopyPath: ", CopyPath);
  printfColorLine("Execute path: ", ExecutePath);
  if (!preparePorts()) return false;

  HalvorantSession_Init(CopyPath, ExecutePath);
  HalvorantQueue_initQueue();
  printfColorLine("Halvorant Version: ", kHalvorantVersion);
  // This user's certificate, made at the first start: the listeners take it later.
  if (!prepareStartCredentials()) return false;

  // Recorded before any listener can take a request. Without a readable console user
  // no request could ever be checked against it, so the service does not start.
  if (!platformConsoleUser(&uid)) {
    printfColorErrorLine("Read console user: ", "Fail");
    return false;
  }
  return true;
}

// Answers already queued (the refusal that ends the service, one in flight at a stop
// signal) still go out before the listeners close; open keep-alive connections hold
// this up for at most a second, and never past the stop deadline.
void drainListeners() {
  const long left = stopTimeLeftMs() - 300;
  const long budget = left < 1000 ? (left > 0 ? left : 0) : 1000;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(budget);
  for (;;) {
    unsigned open = 0;
    for (int i = 0; i < 6; ++i) {
      MHD_Daemon* daemon = i % 2 == 0 ? DaemonIPv4[i / 2] : DaemonIPv6[i / 2];
      if (daemon == nullptr) continue;
      const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon, MHD_DAEMON_INFO_CURRENT_CONNECTIONS);
      if (info != nullptr) open += info->num_connections;
    }
    if (open == 0 || std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool derivePorts(const char* portList, int ports[3]) {
  if (portList == nullptr || ports == nullptr) return false;
  int read[3];
  char tail;
  if (sscanf(portList, "port=%d %d %d%c", &read[0], &read[1], &read[2], &tail) != 3) return false;
  for (int& port : read) {
    if (port <= 2000 || port > 65535 + 2000) return false;
    port -= 2000;
  }
  memcpy(ports, read, sizeof read);
  return true;
}

void quiesceListeners() {
  for (int i = 0; i < 6; ++i) {
    MHD_Daemon* daemon = i % 2 == 0 ? DaemonIPv4[i / 2] : DaemonIPv6[i / 2];
    if (daemon == nullptr) continue;
    // The library hands the listening socket back; closing it here leaves the service
    // manager's own descriptor of it, with whatever waits in its queue.
    const MHD_socket listening = MHD_quiesce_daemon(daemon);
    if (listening != MHD_INVALID_SOCKET) close(listening);
  }
}

void stopListeners() {
  drainListeners();
  for (int i = 0; i < 3; ++i) {
    if (DaemonIPv4[i] != nullptr) MHD_stop_daemon(DaemonIPv4[i]);
    DaemonIPv4[i] = nullptr;
    if (DaemonIPv6[i] != nullptr) MHD_stop_daemon(DaemonIPv6[i]);
    DaemonIPv6[i] = nullptr;
  }
  releaseListenerCredentials();
}

void HalvorantFinal() {
  if (g_finalDone.exchange(true)) return;
  HalvorantStopping.store(true);
  // No new work; running calls get the grace, then are let go (their sessions keep their
  // libraries loaded, their copies deleted below).
  Worker_Stop(std::chrono::milliseconds(kStopGraceMs));
  HalvorantSession_Final();
  printfColorLine("[HalvorantFinal] ", "Release adapters success");
  printfColorLine("[HalvorantFinal] ", "Ready to suicide");
  HalvorantClose.store(true);
  wakeServiceLoop();
}

int HalvorantMain() {
  // A terminal shows every line as it comes. Into a file or pipe, a request's lines
  // leave together: the handler flushes after each call, the service loop at least
  // every 100 ms (dozens of write calls per request otherwise dominate its cost).
  if (isatty(STDOUT_FILENO) || !setConsoleDeferred(true)) setvbuf(stdout, nullptr, _IOLBF, 0);
  installStopSignals();
#if defined(__GLIBC__)
  // A fixed threshold: big request bodies live in their own mappings and go back to the
  // system when freed (the adaptive one would move them into the heap after the first).
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  // Many connections must not run out of descriptors before the connection limits act.
  uint64_t descriptors = platformRaiseDescriptorLimit();
  unsigned limit = setConnectionBudget(descriptors);

  // A start that serves nothing ends non-zero, so a service manager sees the failure
  // and may try again; every other end (stop signal, console-user change) is 0.
  int status = kExitUnavailable;
  if (prepare()) {
    MainThreadOptions mainOptions;
    mainOptions.limit = adapterCallLimit();
    mainOptions.abandon = [](pthread_t thread) { HalvorantSession_Abandon(thread); };
    MainThread_Start(mainOptions);
    WorkerOptions workerOptions;
    workerOptions.orderKey = HalvorantSession_OrderKey;
    workerOptions.abandon = mainOptions.abandon;
    workerOptions.limit = mainOptions.limit;
    Worker_Start(processRequest, workerOptions);
    startStopThread();
    char text[128];
    snprintf(text, sizeof text, "%llu descriptors, %u connections (%u per listener), idle time-out %u s",
             static_cast<unsigned long long>(descriptors), limit, kListenerConnectionLimit, kConnectionTimeoutSeconds);
    printfColorLine("Connection limits: ", text);
    int started = startListeners();
    releaseStartupMemory();
    if (started == 0) {
      printfColorWarningLine("NoxHalvorant initialization: ", "Fail");
    } else {
      printfColorLine("NoxHalvorant initialization: ", "Success");
      boldLine(kRule);
      runServiceLoop();
      status = kExitOk;
    }
  }
  discardCredentials();  // a start that ended before the listeners took them
  // Every parked request is answered (or closed) before the listeners stop.
  Worker_Stop(std::chrono::milliseconds(kStopGraceMs));
  MainThread_Stop();
  stopListeners();
  endStopThread();
  markExiting();
  flushConsole();
  // A thread still inside an adapter: no library may be finalised under it at exit.
  if (Worker_LostThreads() > 0) _exit(status);
  return status;
}
