// macOS implementation of the operating-system layer (built on Apple only; untested here).
#include "platform/Platform.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <cerrno>
#include <copyfile.h>
#include <mach-o/dyld.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syslimits.h>

#include <atomic>

int platformExecutablePath(char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return -2;
  uint32_t size = capacity;
  if (_NSGetExecutablePath(buffer, &size) != 0) {
    buffer[0] = '\0';
    return -1;
  }
  return 0;
}

namespace {

bool sessionConsoleUser(int32_t* uid) {
  CFDictionaryRef session = CGSessionCopyCurrentDictionary();
  if (session == nullptr) return false;
  bool ok = false;
  CFNumberRef number = static_cast<CFNumberRef>(CFDictionaryGetValue(session, kCGSSessionUserIDKey));
  if (number != nullptr) ok = CFNumberGetValue(number, kCFNumberSInt32Type, uid);
  CFRelease(session);
  return ok;
}

// Read from every listener thread; swapped only by tests.
std::atomic<ConsoleUserSource> g_userSource{sessionConsoleUser};

}  // namespace

bool platformConsoleUser(int32_t* uid) {
  if (uid == nullptr) return false;
  return g_userSource.load()(uid);
}

// The session dictionary gives no reason for its absence.
bool platformConsoleUserBusy() { return false; }

void setConsoleUserSource(ConsoleUserSource source) {
  g_userSource.store(source != nullptr ? source : sessionConsoleUser);
}

uint64_t platformThreadId() {
  uint64_t id = 0;
  pthread_threadid_np(nullptr, &id);
  return id;
}

int platformCopyFile(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr) return EINVAL;
  if (copyfile(source, destination, nullptr, COPYFILE_ALL | COPYFILE_UNLINK | COPYFILE_NOFOLLOW) != 0) return errno;
  return 0;
}

int platformKeepDependencies(void* library) {
  (void)library;
  return 0;
}

// macOS offers no owner lookup for a loopback TCP peer (only for local sockets); the
// check is a known gap there.
PeerOwner platformPeerOwner(const sockaddr* peer, const sockaddr* local, uint32_t* owner) {
  (void)peer;
  (void)local;
  (void)owner;
  return kPeerUncheckable;
}

uint64_t platformRaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  // The kernel refuses a soft limit above OPEN_MAX even when the hard one is unlimited.
  rlim_t wanted = limit.rlim_max < static_cast<rlim_t>(OPEN_MAX) ? limit.rlim_max : static_cast<rlim_t>(OPEN_MAX);
  if (limit.rlim_cur < wanted) {
    rlimit raised = limit;
    raised.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}
