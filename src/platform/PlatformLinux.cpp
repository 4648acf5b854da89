// Linux implementation of the operating-system layer.
#include "platform/Platform.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <systemd/sd-login.h>
#include <unistd.h>

int platformExecutablePath(char* buffer, uint32_t capacity) {
  if (buffer == nullptr || capacity == 0) return -2;
  ssize_t n = readlink("/proc/self/exe", buffer, capacity);
  if (n < 0) return -2;
  if (static_cast<uint32_t>(n) >= capacity) return -1;  // may have been cut
  buffer[n] = '\0';
  return 0;
}

namespace {

enum class UserMode { Unknown, Seat, OwnUid };
UserMode g_userMode = UserMode::Unknown;

bool seatConsoleUser(int32_t* uid) {
  // Whoever owns the active session on seat0 owns the console. Without a seat
  // (servers, CI), the service's own user stands in for it; a seat that was readable
  // once and no longer is means the console changed hands.
  uid_t owner = 0;
  int rc = sd_seat_get_active("seat0", nullptr, &owner);
  if (rc >= 0) {
    g_userMode = UserMode::Seat;
    *uid = static_cast<int32_t>(owner);
    return true;
  }
  if (g_userMode == UserMode::Seat) return false;
  g_userMode = UserMode::OwnUid;
  *uid = static_cast<int32_t>(getuid());
  return true;
}

ConsoleUserSource g_userSource = seatConsoleUser;

}  // namespace

bool platformConsoleUser(int32_t* uid) {
  if (uid == nullptr) return false;
  return g_userSource(uid);
}

void setConsoleUserSource(ConsoleUserSource source) {
  g_userSource = source != nullptr ? source : seatConsoleUser;
}

uint64_t platformThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

int platformCopyFile(const char* source, const char* destination) {
  if (source == nullptr || destination == nullptr) return EINVAL;
  int in = open(source, O_RDONLY | O_CLOEXEC);
  if (in < 0) return errno;
  struct stat st;
  if (fstat(in, &st) != 0 || !S_ISREG(st.st_mode)) {
    int err = errno != 0 ? errno : EINVAL;
    close(in);
    return err;
  }
  // Replace, never write through an existing file: unlink first so a link planted at the
  // destination is not followed, then create exclusively.
  unlink(destination);
  int out = open(destination, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, st.st_mode & 0755);
  if (out < 0) {
    int err = errno;
    close(in);
    return err;
  }
  int err = 0;
  off_t left = st.st_size;
  while (left > 0) {
    ssize_t n = copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(left), 0);
    if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL)) {
      // Kernel copy not available here: plain read/write loop.
      char buf[65536];
      ssize_t r;
      while ((r = read(in, buf, sizeof buf)) > 0) {
        ssize_t off = 0;
        while (off < r) {
          ssize_t w = write(out, buf + off, static_cast<size_t>(r - off));
          if (w < 0) { err = errno; break; }
          off += w;
        }
        if (err != 0) break;
      }
      if (r < 0) err = errno;
      break;
    }
    if (n < 0) { err = errno; break; }
    if (n == 0) break;
    left -= n;
  }
  if (close(out) != 0 && err == 0) err = errno;
  close(in);
  if (err != 0) unlink(destination);
  return err;
}
