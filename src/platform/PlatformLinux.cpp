// Linux implementation of the operating-system layer.
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <pwd.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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
thread_local bool t_userBusy = false;

bool seatConsoleUser(int32_t* uid) {
  uid_t owner = 0;
  int code = sd_seat_get_active("seat0", nullptr, &owner);
  if (code == -EMFILE || code == -ENFILE || code == -ENOMEM || code == -EAGAIN) {
    t_userBusy = true;  // the seat was not looked at: neither gone nor changed
    return false;
  }
  bool readable = code >= 0;
  return consoleUserFromSeat(readable, static_cast<int32_t>(owner), static_cast<int32_t>(getuid()), &g_userMode,
                             uid);
}

// Read from every listener thread; swapped only by tests.
std::atomic<ConsoleUserSource> g_userSource{seatConsoleUser};

// The seat reading is kept until logind reports a change of seats: its monitor's
// descriptor turns readable, and the next request reads seat0 again (after draining the
// monitor, so a change during the reading shows again). A request costs one poll instead
// of reading logind's files. A reading that failed for want of resources is not kept.
// Without a monitor every request reads the seat.
struct SeatCache {
  std::mutex lock;
  bool tried = false;  // the monitor was asked for
  sd_login_monitor* monitor = nullptr;
  int fd = -1;
  bool kept = false;  // a reading is kept: ok and uid
  bool ok = false;
  int32_t uid = -1;
};
SeatCache g_seat;

// Caller holds the lock and has a monitor. A failed poll counts as a report: it must
// not hide a change.
bool seatReported() {
  pollfd watch{g_seat.fd, POLLIN, 0};
  int ready = poll(&watch, 1, 0);
  return ready != 0;
}

bool keptSeatConsoleUser(int32_t* uid) {
  std::lock_guard<std::mutex> guard(g_seat.lock);
  if (!g_seat.tried) {
    g_seat.tried = true;
    sd_login_monitor* monitor = nullptr;
    if (sd_login_monitor_new("seat", &monitor) >= 0) {
      int fd = sd_login_monitor_get_fd(monitor);
      if (fd >= 0) {
        g_seat.monitor = monitor;
        g_seat.fd = fd;
      } else {
        sd_login_monitor_unref(monitor);
      }
    }
  }
  if (g_seat.monitor == nullptr) return seatConsoleUser(uid);
  if (g_seat.kept && !seatReported()) {
    if (g_seat.ok) *uid = g_seat.uid;
    return g_seat.ok;
  }
  sd_login_monitor_flush(g_seat.monitor);
  int32_t owner = -1;
  bool ok = seatConsoleUser(&owner);
  g_seat.kept = ok || !t_userBusy;
  g_seat.ok = ok;
  g_seat.uid = owner;
  if (ok) *uid = owner;
  return ok;
}

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
  t_userBusy = false;
  ConsoleUserSource source = g_userSource.load();
  return source == seatConsoleUser ? keptSeatConsoleUser(uid) : source(uid);
}

bool platformConsoleUserBusy() { return t_userBusy; }

void setConsoleUserSource(ConsoleUserSource source) {
  g_userSource.store(source != nullptr ? source : seatConsoleUser);
  std::lock_guard<std::mutex> guard(g_seat.lock);
  g_seat.kept = false;  // the real source reads afresh when it is back
}

uint64_t platformThreadId() { return static_cast<uint64_t>(syscall(SYS_gettid)); }

namespace {

bool endsWith(const char* text, const char* tail) {
  const size_t length = strlen(text);
  const size_t tailLength = strlen(tail);
  return length >= tailLength && strcmp(text + length - tailLength, tail) == 0;
}

// Names of the objects loaded after one library, gathered under the loader's list lock
// (dl_iterate_phdr) so that no other thread's dlclose can free an entry while it is read.
struct LaterObjects {
  ElfW(Addr) base = 0;
  const char* name = nullptr;
  bool found = false;
  int count = 0;
  char names[32][256];
};

int gatherLater(struct dl_phdr_info* info, size_t, void* data) {
  auto* later = static_cast<LaterObjects*>(data);
  const char* name = info->dlpi_name;
  if (!later->found) {
    later->found = info->dlpi_addr == later->base && name != nullptr && strcmp(name, later->name) == 0;
    return 0;
  }
  if (name == nullptr || name[0] != '/' || endsWith(name, ".dylib") || strlen(name) >= sizeof later->names[0])
    return 0;
  memcpy(later->names[later->count], name, strlen(name) + 1);
  return ++later->count == static_cast<int>(sizeof later->names / sizeof later->names[0]) ? 1 : 0;
}

}  // namespace

int platformKeepDependencies(void* library) {
  struct link_map* map = nullptr;
  if (library == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr)
    return 0;
  // Objects join the loader's list in load order: those after the library came with it (or
  // with a later load, which keeping does not harm either). They are opened again only
  // after the walk (dlopen inside it could meet the loader's locks in the other order):
  // RTLD_NOLOAD finds the one already there, RTLD_NODELETE keeps it past every dlclose, so
  // the handle goes back at once. One unloaded meanwhile is simply not found.
  LaterObjects later;
  later.base = map->l_addr;
  later.name = map->l_name;
  dl_iterate_phdr(gatherLater, &later);
  for (int i = 0; i < later.count; ++i) {
    void* kept = dlopen(later.names[i], RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    if (kept != nullptr) dlclose(kept);
  }
  return later.count;
}

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

namespace {

// One netlink socket per listener thread, opened on first use.
struct DiagSocket {
  int fd = -1;
  uint32_t sequence = 0;
  ~DiagSocket() {
    if (fd >= 0) close(fd);
  }
  bool ready() {
    if (fd < 0) fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    return fd >= 0;
  }
  void reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};
thread_local DiagSocket t_diag;

bool fillEndpoint(const sockaddr* address, int family, __be16* port, __be32 words[4]) {
  if (address->sa_family != family) return false;
  if (family == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    *port = in->sin_port;
    memcpy(words, &in->sin_addr, sizeof in->sin_addr);
  } else {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
    *port = in6->sin6_port;
    memcpy(words, &in6->sin6_addr, sizeof in6->sin6_addr);
  }
  return true;
}

struct DiagRequest {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

DiagRequest diagRequest(int family, uint16_t flags, uint32_t states, uint32_t sequence) {
  DiagRequest message;
  memset(&message, 0, sizeof message);
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = flags;
  message.header.nlmsg_seq = sequence;
  message.request.sdiag_family = static_cast<__u8>(family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = states;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  return message;
}

bool sendDiag(int fd, const DiagRequest& message) {
  sockaddr_nl kernel;
  memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &message, sizeof message, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel) ==
         static_cast<ssize_t>(sizeof message);
}

// Reads the answers to request sequence and hands each socket found to visit (which returns
// true to stop). Returns true when visit stopped, false at the end of the answers or on an
// error (the socket is then of no further use).
template <typename Visit>
bool readDiag(int fd, uint32_t sequence, Visit visit) {
  alignas(nlmsghdr) char answer[16384];
  for (;;) {
    ssize_t n = recv(fd, answer, sizeof answer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    // The messages one by one, each checked against what is left (the library's walking
    // macros mix signed and unsigned lengths).
    size_t left = static_cast<size_t>(n);
    for (size_t at = 0, step = 0; left - at >= sizeof(nlmsghdr); at += step) {
      const auto* h = reinterpret_cast<const nlmsghdr*>(answer + at);
      if (h->nlmsg_len < sizeof(nlmsghdr) || h->nlmsg_len > left - at) return false;
      step = NLMSG_ALIGN(h->nlmsg_len);
      if (step > left - at) step = left - at;
      if (h->nlmsg_seq != sequence) continue;  // a late answer to an earlier question
      if (h->nlmsg_type == NLMSG_ERROR || h->nlmsg_type == NLMSG_DONE) return false;
      if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY || h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) return false;
      if (visit(static_cast<const inet_diag_msg*>(NLMSG_DATA(h)))) return true;
    }
  }
}

}  // namespace

PeerOwner platformPeerOwner(const sockaddr* peer, const sockaddr* local, uint32_t* owner) {
  if (peer == nullptr || local == nullptr || owner == nullptr) return kPeerUnknown;
  const int family = peer->sa_family;
  if (family != AF_INET && family != AF_INET6) return kPeerUnknown;
  if (!t_diag.ready()) return kPeerUnknown;

  // Exact lookup of the client's socket: its local end is the peer, its remote end us.
  DiagRequest message = diagRequest(family, NLM_F_REQUEST, ~0u, ++t_diag.sequence);
  if (!fillEndpoint(peer, family, &message.request.id.idiag_sport, message.request.id.idiag_src) ||
      !fillEndpoint(local, family, &message.request.id.idiag_dport, message.request.id.idiag_dst))
    return kPeerUnknown;
  if (!sendDiag(t_diag.fd, message)) {
    t_diag.reset();
    return kPeerUnknown;
  }
  PeerOwner result = kPeerUnknown;
  bool found = readDiag(t_diag.fd, t_diag.sequence, [&](const inet_diag_msg* socket) {
    *owner = socket->idiag_uid;
    result = socket->idiag_uid == geteuid() ? kPeerOwnUser : kPeerOtherUser;
    return true;
  });
  if (!found) t_diag.reset();  // what is left of the answer must not meet the next question
  return result;
}

namespace {

// A listening socket on address itself, or on the wildcard of either family (a dual-stack
// [::] holds IPv4 too), with address's port.
bool holdsAddress(const inet_diag_msg* found, const sockaddr* address) {
  __be16 port = 0;
  __be32 words[4] = {0, 0, 0, 0};
  if (!fillEndpoint(address, address->sa_family, &port, words) || found->id.idiag_sport != port) return false;
  static const __be32 kZero[4] = {0, 0, 0, 0};
  const size_t size = address->sa_family == AF_INET ? 4 : 16;
  return (found->idiag_family == address->sa_family && memcmp(found->id.idiag_src, words, size) == 0) ||
         memcmp(found->id.idiag_src, kZero, found->idiag_family == AF_INET ? 4 : 16) == 0;
}

}  // namespace

PeerOwner platformPortHolder(const sockaddr* address, uint32_t* owner) {
  if (address == nullptr || owner == nullptr || (address->sa_family != AF_INET && address->sa_family != AF_INET6))
    return kPeerUnknown;
  PeerOwner result = kPeerUnknown;
  for (int family : {AF_INET, AF_INET6}) {
    // A dump of the listening sockets of one family, on a socket of its own (start-up only).
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) continue;
    if (sendDiag(fd, diagRequest(family, NLM_F_REQUEST | NLM_F_DUMP, 1u << 10 /* TCP_LISTEN */, 1))) {
      readDiag(fd, 1, [&](const inet_diag_msg* found) {
        if (!holdsAddress(found, address)) return false;
        if (found->idiag_uid != geteuid()) {
          result = kPeerOtherUser;  // another user's wins
          *owner = found->idiag_uid;
          return true;
        }
        result = kPeerOwnUser;
        *owner = found->idiag_uid;
        return false;
      });
    }
    close(fd);
    if (result == kPeerOtherUser) break;
  }
  return result;
}

int platformActivationSockets(int* first) {
  if (first == nullptr) return 0;
  int count = sd_listen_fds(1);  // checks LISTEN_PID, then removes the variables
  if (count <= 0) return 0;
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  }
  *first = SD_LISTEN_FDS_START;
  return count;
}

bool platformDataDirectory(std::string* path) {
  if (path == nullptr) return false;
  const char* data = getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') {  // a relative one is to be ignored
    *path = std::string(data) + "/noxhalvorant";
    return true;
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    passwd entry;
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(geteuid(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr ||
        found->pw_dir == nullptr || found->pw_dir[0] != '/')
      return false;
    *path = std::string(found->pw_dir) + "/.local/share/noxhalvorant";
    return true;
  }
  *path = std::string(home) + "/.local/share/noxhalvorant";
  return true;
}

uint64_t platformRaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}
