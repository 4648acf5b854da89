// macOS implementation of the operating-system layer (built on Apple only; untested here).
#include "platform/Platform.h"
#include "platform/PlatformDetail.h"

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
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

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

// macOS offers no owner lookup for a TCP socket of another process (see above).
PeerOwner platformPortHolder(const sockaddr* address, uint32_t* owner) {
  (void)address;
  (void)owner;
  return kPeerUncheckable;
}

// launchd hands sockets over through launch_activate_socket by name; the agent does not
// declare any, so there is nothing to take.
int platformActivationSockets(int* first) {
  (void)first;
  return 0;
}

bool platformDataDirectory(std::string* path) {
  if (path == nullptr) return false;
  const char* home = getenv("HOME");
  std::string base = home != nullptr && home[0] == '/' ? home : "";
  if (base.empty()) {
    passwd* entry = getpwuid(geteuid());
    if (entry == nullptr || entry->pw_dir == nullptr || entry->pw_dir[0] != '/') return false;
    base = entry->pw_dir;
  }
  *path = base + "/Library/Application Support/NoxHalvorant";
  return true;
}

namespace {

std::string loginKeychain() {
  const char* home = getenv("HOME");
  return std::string(home != nullptr ? home : "") + "/Library/Keychains/login.keychain-db";
}

}  // namespace

// The login keychain, trusted as a root for this user (untested).
bool platformTrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps,
                     std::string* error) {
  (void)nickname;
  (void)record;
  if (caFile == nullptr || steps == nullptr || error == nullptr) return false;
  TrustStep step;
  step.place = loginKeychain();
  step.what = "login keychain";
  std::string output;
  step.ok = runProgram({"security", "add-trusted-cert", "-r", "trustRoot", "-k", step.place, caFile}, &output) == 0;
  step.outcome = step.ok ? "trusted" : output;
  steps->push_back(step);
  return true;
}

bool platformUntrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps,
                       std::string* error) {
  (void)nickname;
  (void)record;
  if (caFile == nullptr || steps == nullptr || error == nullptr) return false;
  TrustStep step;
  step.place = loginKeychain();
  step.what = "login keychain";
  std::string output;
  runProgram({"security", "remove-trusted-cert", caFile}, &output);
  step.ok = true;
  step.outcome = "trust removed";
  steps->push_back(step);
  return true;
}
