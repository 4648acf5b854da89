// Linux implementation of the operating-system layer.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "platform/PlatformDetail.h"

int platformExecutablePath(char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return -2;
  ssize_t n = readlink("/proc/self/exe", buffer, capacity);
  if (n < 0) return -2;
  if (static_cast<uint32_t>(n) >= capacity) {  // may have been cut
    buffer[capacity - 1] = '\0';
    return -1;
  }
  buffer[n] = '\0';
  return 0;
}

bool consoleUserFromSeat(bool seatReadable, int32_t seatOwner, int32_t ownUid, std::atomic<int>* mode,
                         int32_t* uid) {
  // Whoever owns the active session on seat0 owns the console. Without a seat
  // (servers, CI), the service's own user stands in for it; a seat that was readable
  // once and no longer is means the console changed hands.
  if (seatReadable) {
    mode->store(kConsoleModeSeat);
    *uid = seatOwner;
    return true;
  }
  if (mode->load() == kConsoleModeSeat) return false;
  mode->store(kConsoleModeOwnUid);
  *uid = ownUid;
  return true;
}

namespace {

std::atomic<int> g_userMode{kConsoleModeUnknown};

bool seatConsoleUser(int32_t* uid) {
  uid_t owner = 0;
  bool readable = sd_seat_get_active("seat0", nullptr, &owner) >= 0;
  return consoleUserFromSeat(readable, static_cast<int32_t>(owner), static_cast<int32_t>(getuid()), &g_userMode,
                             uid);
}

// Read from every listener thread; swapped only by tests.
std::atomic<ConsoleUserSource> g_userSource{seatConsoleUser};

// Copies in to out from the current positions; 0 or an errno value.
int copyContent(int in, int out) {
  for (;;) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n > 0) continue;
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != ENOSYS && errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != EPERM) return errno;
    break;  // no kernel copy between these files: plain read/write loop
  }
  char buf[65536];
  for (;;) {
    ssize_t r = read(in, buf, sizeof buf);
    if (r == 0) return 0;
    if (r < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    for (ssize_t off = 0; off < r;) {
      ssize_t w = write(out, buf + off, static_cast<size_t>(r - off));
      if (w < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      off += w;
    }
  }
}

}  // namespace

bool platformConsoleUser(int32_t* uid) {
  if (uid == nullptr) return false;
  return g_userSource.load()(uid);
}

void setConsoleUserSource(ConsoleUserSource source) { g_userSource.store(source != nullptr ? source : seatConsoleUser); }

uint64_t platformThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

int platformCopyFile(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr || source[0] == '\0' || destination[0] == '\0') return EINVAL;
  // Non-blocking open so a FIFO planted as the source cannot stall the caller.
  int in = open(source, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (in < 0) return errno;
  struct stat st;
  if (fstat(in, &st) != 0) {
    int err = errno;
    close(in);
    return err;
  }
  if (!S_ISREG(st.st_mode)) {
    close(in);
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  }
  fcntl(in, F_SETFL, fcntl(in, F_GETFL) & ~O_NONBLOCK);

  // Write a private temporary beside the destination, then rename it over: nothing
  // planted at the destination (a link, a file of someone else) is ever written
  // through, and a failed copy leaves the old destination as it was.
  std::string temporary = std::string(destination) + ".XXXXXX";
  int out = mkostemp(&temporary[0], O_CLOEXEC);
  if (out < 0) {
    int err = errno;
    close(in);
    return err;
  }
  int err = copyContent(in, out);
  if (err == 0 && fchmod(out, st.st_mode & 0755) != 0) err = errno;
  if (close(out) != 0 && err == 0) err = errno;
  close(in);
  if (err == 0 && rename(temporary.c_str(), destination) != 0) err = errno;
  if (err != 0) unlink(temporary.c_str());
  return err;
}
