// macOS implementation of the operating-system layer (built on Apple only; untested here).
#include "platform/Platform.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <cerrno>
#include <copyfile.h>
#include <mach-o/dyld.h>
#include <pthread.h>

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
