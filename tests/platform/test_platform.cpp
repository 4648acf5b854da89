// Linux operating-system layer: executable path, console user rule and seam, file copy.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "platform/PlatformDetail.h"
#include "support/OtherUser.h"

namespace {

TEST(ExecutablePath, FitsOrSaysSo) {
  char expected[4096];
  ssize_t n = readlink("/proc/self/exe", expected, sizeof expected - 1);
  ASSERT_GT(n, 0);
  expected[n] = '\0';

  char buffer[4096];
  EXPECT_EQ(platformExecutablePath(buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, expected);
  EXPECT_EQ(platformExecutablePath(buffer, static_cast<uint32_t>(n) + 1), 0);
  EXPECT_EQ(platformExecutablePath(buffer, static_cast<uint32_t>(n)), -1);
  EXPECT_EQ(buffer[n - 1], '\0');  // a cut path is still a terminated text
  EXPECT_EQ(platformExecutablePath(buffer, 0), -2);
  EXPECT_EQ(platformExecutablePath(nullptr, 10), -2);
}

TEST(ConsoleUser, SeatRule) {
  struct Step {
    bool seatReadable;
    int32_t seatOwner;
    bool ok;
    int32_t uid;
  };
  // Each row list is one life of the service: readings in order.
  const std::vector<std::vector<Step>> lives = {
      {{false, 0, true, 500}, {false, 0, true, 500}},                           // no seat at all
      {{true, 1000, true, 1000}, {true, 1001, true, 1001}},                     // seat owner changes
      {{true, 1000, true, 1000}, {false, 0, false, -7}},                        // seat lost: a change
      {{false, 0, true, 500}, {true, 1000, true, 1000}, {false, 0, false, -7}}, // seat appears, then goes
  };
  for (size_t life = 0; life < lives.size(); ++life) {
    std::atomic<int> mode{kConsoleModeUnknown};
    for (size_t i = 0; i < lives[life].size(); ++i) {
      const Step& s = lives[life][i];
      int32_t uid = -7;
      EXPECT_EQ(consoleUserFromSeat(s.seatReadable, s.seatOwner, 500, &mode, &uid), s.ok) << life << "/" << i;
      EXPECT_EQ(uid, s.uid) << life << "/" << i;
    }
  }
}

bool fixedUser(int32_t* uid) {
  *uid = 4242;
  return true;
}

TEST(ConsoleUser, RealSourceAndSeam) {
  int32_t uid = -1;
  EXPECT_FALSE(platformConsoleUser(nullptr));
  uid_t seatOwner = 0;
  bool haveSeat = sd_seat_get_active("seat0", nullptr, &seatOwner) >= 0;
  ASSERT_TRUE(platformConsoleUser(&uid));
  EXPECT_EQ(uid, haveSeat ? static_cast<int32_t>(seatOwner) : static_cast<int32_t>(getuid()));

  setConsoleUserSource(fixedUser);
  EXPECT_TRUE(platformConsoleUser(&uid));
  EXPECT_EQ(uid, 4242);
  setConsoleUserSource(nullptr);
  ASSERT_TRUE(platformConsoleUser(&uid));
  EXPECT_NE(uid, 4242);
}

TEST(ThreadId, IsTheKernelThreadId) { EXPECT_EQ(platformThreadId(), static_cast<uint64_t>(gettid())); }

class CopyDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_platform_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  static void write(const std::string& file, const std::string& content) {
    std::ofstream out(file, std::ios::binary);
    out << content;
  }
  static std::string read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  size_t entries() const {
    std::string command = "test $(ls -A '" + dir_ + "' | wc -l) -eq ";
    for (size_t n = 0; n < 100; ++n)
      if (system((command + std::to_string(n)).c_str()) == 0) return n;
    return 100;
  }
  std::string dir_;
};

TEST_F(CopyDir, CopiesReplacesAndKeepsMode) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big.push_back(static_cast<char>(i * 7));
  write(path("lib"), big);
  ASSERT_EQ(chmod(path("lib").c_str(), 0755), 0);
  EXPECT_EQ(platformCopyFile(path("lib").c_str(), path("copy").c_str()), 0);
  EXPECT_EQ(read(path("copy")), big);
  struct stat st;
  ASSERT_EQ(stat(path("copy").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);

  write(path("small"), "x");
  EXPECT_EQ(platformCopyFile(path("small").c_str(), path("copy").c_str()), 0);
  EXPECT_EQ(read(path("copy")), "x");
  write(path("empty"), "");
  EXPECT_EQ(platformCopyFile(path("empty").c_str(), path("copy").c_str()), 0);
  EXPECT_EQ(read(path("copy")), "");
  EXPECT_EQ(entries(), 4u);  // no temporaries left behind
}

TEST_F(CopyDir, NeverWritesThroughALinkAtTheDestination) {
  write(path("victim"), "precious");
  ASSERT_EQ(symlink(path("victim").c_str(), path("copy").c_str()), 0);
  write(path("lib"), "adapter");
  EXPECT_EQ(platformCopyFile(path("lib").c_str(), path("copy").c_str()), 0);
  EXPECT_EQ(read(path("victim")), "precious");
  struct stat st;
  ASSERT_EQ(lstat(path("copy").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(read(path("copy")), "adapter");
}

TEST_F(CopyDir, FailuresReturnErrnoAndKeepTheOldCopy) {
  write(path("copy"), "old");
  EXPECT_EQ(platformCopyFile(path("missing").c_str(), path("copy").c_str()), ENOENT);
  EXPECT_EQ(platformCopyFile(dir_.c_str(), path("copy").c_str()), EISDIR);
  EXPECT_EQ(read(path("copy")), "old");
  write(path("lib"), "new");
  EXPECT_EQ(platformCopyFile(path("lib").c_str(), path("no/dir/copy").c_str()), ENOENT);
  ASSERT_EQ(mkdir(path("adir").c_str(), 0700), 0);
  EXPECT_NE(platformCopyFile(path("lib").c_str(), path("adir").c_str()), 0);
  EXPECT_EQ(platformCopyFile(nullptr, path("copy").c_str()), EINVAL);
  EXPECT_EQ(platformCopyFile(path("lib").c_str(), nullptr), EINVAL);
  EXPECT_EQ(platformCopyFile("", path("copy").c_str()), EINVAL);
  EXPECT_EQ(read(path("copy")), "old");
  EXPECT_EQ(entries(), 3u);
}

TEST_F(CopyDir, FifoSourceDoesNotBlock) {
  ASSERT_EQ(mkfifo(path("fifo").c_str(), 0600), 0);
  // Opening a FIFO without a writer would block for good; it is refused instead.
  EXPECT_EQ(platformCopyFile(path("fifo").c_str(), path("copy").c_str()), EINVAL);
}

// A listening socket on the loopback address or the wildcard of a family; its port.
int listenOn(int family, bool wildcard, int* fd) {
  *fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_storage address = {};
  socklen_t length = 0;
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(wildcard ? INADDR_ANY : INADDR_LOOPBACK);
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = wildcard ? in6addr_any : in6addr_loopback;
    length = sizeof *in6;
  }
  if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(*fd, 1) != 0 ||
      getsockname(*fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return -1;
  return ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                 : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
}

sockaddr_storage loopback(int family, int port) {
  sockaddr_storage address = {};
  if (family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    in->sin_port = htons(static_cast<uint16_t>(port));
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(port));
  }
  return address;
}

PeerOwner holder(const sockaddr_storage& address, uint32_t* owner) {
  return platformPortHolder(reinterpret_cast<const sockaddr*>(&address), owner);
}

// Who holds a port that a listener could not bind: found through the kernel's socket
// diagnostics, on the address itself or on a wildcard of either family.
TEST(PortHolder, OwnWildcardFreeAndAnotherUsers) {
  struct Case {
    const char* name;
    int family;    // of the holder's socket
    bool wildcard;
    int asked;     // family of the address asked about
  };
  const Case cases[] = {
      {"127.0.0.1", AF_INET, false, AF_INET},   {"[::1]", AF_INET6, false, AF_INET6},
      {"0.0.0.0", AF_INET, true, AF_INET},      {"[::] asked for 127.0.0.1", AF_INET6, true, AF_INET},
  };
  for (const Case& c : cases) {
    int fd = -1;
    int port = listenOn(c.family, c.wildcard, &fd);
    ASSERT_GT(port, 0) << c.name;
    uint32_t owner = 12345;
    EXPECT_EQ(holder(loopback(c.asked, port), &owner), kPeerOwnUser) << c.name;
    EXPECT_EQ(owner, geteuid()) << c.name;
    close(fd);
    EXPECT_EQ(holder(loopback(c.asked, port), &owner), kPeerUnknown) << c.name << ": free again";
  }
  // A bound socket on the same port of the other loopback family does not hold it.
  int fd = -1;
  int port = listenOn(AF_INET6, false, &fd);
  uint32_t owner = 0;
  EXPECT_EQ(holder(loopback(AF_INET, port), &owner), kPeerUnknown);
  close(fd);

  noxtest::OtherUserProcess other;
  std::string why;
  ASSERT_TRUE(other.start("exec /usr/bin/python3 -c 'import socket, sys\n"
                          "s = socket.socket()\ns.bind((\"127.0.0.1\", 0))\ns.listen()\n"
                          "print(s.getsockname()[1], flush=True)\nsys.stdin.read()'",
                          &why))
      << why;
  std::string line = other.readLine(30);
  ASSERT_FALSE(line.empty()) << "the second user's listener did not start";
  port = std::stoi(line);
  EXPECT_EQ(holder(loopback(AF_INET, port), &owner), kPeerOtherUser);
  EXPECT_NE(owner, geteuid());
  if (geteuid() == 0) {
    EXPECT_EQ(owner, 65534u);
  }
  other.stop();
}

// XDG_DATA_HOME when it is absolute, else HOME, else the user database.
TEST(DataDirectory, XdgThenHome) {
  const char* keptData = getenv("XDG_DATA_HOME");
  const char* keptHome = getenv("HOME");
  const std::string data = keptData ? keptData : "", home = keptHome ? keptHome : "";
  struct Case {
    const char* xdg;   // null: unset
    const char* home;  // null: unset
    const char* expected;
  };
  const Case cases[] = {
      {"/x/data", "/h", "/x/data/noxhalvorant"},
      {"relative/data", "/h", "/h/.local/share/noxhalvorant"},
      {"", "/h", "/h/.local/share/noxhalvorant"},
      {nullptr, "/h", "/h/.local/share/noxhalvorant"},
  };
  for (const Case& c : cases) {
    c.xdg ? setenv("XDG_DATA_HOME", c.xdg, 1) : unsetenv("XDG_DATA_HOME");
    c.home ? setenv("HOME", c.home, 1) : unsetenv("HOME");
    std::string path;
    EXPECT_TRUE(platformDataDirectory(&path)) << c.expected;
    EXPECT_EQ(path, c.expected);
  }
  unsetenv("XDG_DATA_HOME");
  unsetenv("HOME");
  std::string path;
  ASSERT_TRUE(platformDataDirectory(&path));  // the user database's home
  EXPECT_EQ(path.substr(0, 1), "/");
  EXPECT_NE(path.find("/.local/share/noxhalvorant"), std::string::npos) << path;
  keptData ? setenv("XDG_DATA_HOME", data.c_str(), 1) : unsetenv("XDG_DATA_HOME");
  keptHome ? setenv("HOME", home.c_str(), 1) : unsetenv("HOME");
}

}  // namespace
