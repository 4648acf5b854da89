// The lock every test takes that runs the service or uses /tmp/NoxHalvorant: service tests of
// several build trees (and users) may run at once, and they share the fixed ports and that
// directory. Taking the lock empties the directory, releasing it empties it again; the
// directory itself stays, since removing it would pull it from under any other user of it.
// Taking it also gives this process its private data home (DataHome.h), so no service a
// test starts writes credentials into the real home.
//
//   noxtest::WorkDirLock lock;
//   ASSERT_TRUE(lock.take()) << lock.error();
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>

#include "support/DataHome.h"

namespace noxtest {

constexpr const char* kWorkDir = "/tmp/NoxHalvorant";
constexpr const char* kServiceLockFile = "/tmp/NoxHalvorant-service-test.lock";
// Other trees' suites may hold the lock for many minutes on a busy machine; ctest's own
// time-out of service tests stays above this.
constexpr int kLockWaitSeconds = 1200;

// Removes everything inside dir; the directory itself stays. False (with the reason) when
// something could not be removed.
inline bool emptyDirectory(const std::string& dir, std::string* error) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (!fs::exists(dir, ec)) return true;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    std::error_code removed;
    fs::remove_all(it->path(), removed);
    if (removed) {
      *error = "cannot remove " + it->path().string() + ": " + removed.message();
      return false;
    }
  }
  if (ec) *error = "cannot list " + dir + ": " + ec.message();
  return !ec;
}

class WorkDirLock {
 public:
  WorkDirLock() = default;
  WorkDirLock(const WorkDirLock&) = delete;
  WorkDirLock& operator=(const WorkDirLock&) = delete;
  ~WorkDirLock() { release(); }

  // Waits for the lock (bounded by kLockWaitSeconds), then empties the directory. Within a
  // process that holds it already (a test running a second service) it is granted at once:
  // a second flock of this process would wait for its own first one.
  bool take() {
    if (fd_ >= 0 || nested_) return true;
    DataHome::path();
    if (holders() > 0) {
      ++holders();
      nested_ = true;
      return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kLockWaitSeconds);
    for (;;) {
      // Opened without O_CREAT when it exists: in sticky /tmp, O_CREAT on another user's
      // file is refused (protected_regular). A read-only descriptor can hold the lock.
      fd_ = open(kServiceLockFile, O_RDONLY | O_CLOEXEC);
      if (fd_ < 0 && errno == ENOENT) {
        fd_ = open(kServiceLockFile, O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0) fchmod(fd_, 0666);  // not cut by the umask: every user locks it
        else if (errno == EEXIST) continue;
      }
      if (fd_ < 0) return fail(std::string("open ") + kServiceLockFile + ": " + strerror(errno));
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        ++holders();
        break;
      }
      close(fd_);
      fd_ = -1;
      if (std::chrono::steady_clock::now() >= deadline)
        return fail("another service test held " + std::string(kServiceLockFile) + " for " +
                    std::to_string(kLockWaitSeconds) + " s");
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string why;
    if (!emptyDirectory(kWorkDir, &why)) {
      release();
      return fail(why + " (is " + kWorkDir + " another user's?)");
    }
    return true;
  }

  void release() {
    if (nested_) {
      --holders();
      nested_ = false;
      return;
    }
    if (fd_ < 0) return;
    --holders();
    std::string ignored;
    emptyDirectory(kWorkDir, &ignored);
    close(fd_);
    fd_ = -1;
  }

  bool held() const { return fd_ >= 0 || nested_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& what) {
    error_ = what;
    return false;
  }
  // Holders of the lock in this process (the first owns the descriptor).
  static int& holders() {
    static int count = 0;
    return count;
  }
  int fd_ = -1;
  bool nested_ = false;
  std::string error_;
};

}  // namespace noxtest
