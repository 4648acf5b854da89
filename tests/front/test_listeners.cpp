// Sockets handed over by a service manager, matched to the listeners' addresses.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "diag/Console.h"
#include "front/Halvorant.h"

namespace {

struct SocketPlan {
  int family;
  int type;
  bool wildcard;
  bool listening;
  int portIndex;  // which of the test's three ports
};

// One socket as described, bound to a port of ports (0 in ports: any, then noted there).
int makeSocket(const SocketPlan& s, int ports[3]) {
  int fd = socket(s.family, s.type | SOCK_CLOEXEC, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);  // lets a test repeat an address
  sockaddr_storage address = {};
  socklen_t length;
  if (s.family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(s.wildcard ? INADDR_ANY : INADDR_LOOPBACK);
    in->sin_port = htons(static_cast<uint16_t>(ports[s.portIndex]));
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr = s.wildcard ? in6addr_any : in6addr_loopback;
    in6->sin6_port = htons(static_cast<uint16_t>(ports[s.portIndex]));
    length = sizeof *in6;
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) return -1;
  if (s.listening && listen(fd, 4) != 0) return -1;
  if (ports[s.portIndex] == 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
    ports[s.portIndex] = ntohs(s.family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                                   : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  return fd;
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(ActivationSockets, MatchedToTheirSlotsOthersClosed) {
  setConsoleColour(false);
  struct Case {
    const char* name;
    std::vector<SocketPlan> sockets;  // handed over in this order
    std::vector<int> slots;     // expected slot of each socket, -1: closed
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"all six, any order",
       {{AF_INET6, SOCK_STREAM, false, true, 2}, {AF_INET, SOCK_STREAM, false, true, 0},
        {AF_INET6, SOCK_STREAM, false, true, 0}, {AF_INET, SOCK_STREAM, false, true, 1},
        {AF_INET6, SOCK_STREAM, false, true, 1}, {AF_INET, SOCK_STREAM, false, true, 2}},
       {5, 0, 1, 2, 3, 4},
       {"Socket activation: 6 listening sockets from the service manager"}},
      {"a wildcard and a repeated address, one address left out",
       {{AF_INET, SOCK_STREAM, false, true, 0}, {AF_INET, SOCK_STREAM, true, true, 1},
        {AF_INET, SOCK_STREAM, false, true, 0}},
       {0, -1, -1},
       {"[Error] Socket activation: descriptor 201 (0.0.0.0:P1) is not one of the service's addresses: closed",
        "[Error] Socket activation: descriptor 202 (127.0.0.1:P0) repeats an address: closed",
        "[Error] Socket activation: no socket for [::1]:P0 from the service manager: bound here",
        "[Error] Socket activation: no socket for 127.0.0.1:P2 from the service manager: bound here"}},
      {"not listening, not TCP",
       {{AF_INET6, SOCK_STREAM, false, false, 0}, {AF_INET, SOCK_DGRAM, false, false, 1}},
       {-1, -1},
       {"[Error] Socket activation: descriptor 200 is not a listening TCP socket: closed",
        "[Error] Socket activation: descriptor 201 is not a listening TCP socket: closed"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int ports[3] = {0, 0, 0};
    std::vector<int> fds;
    for (const SocketPlan& s : c.sockets) {
      int fd = makeSocket(s, ports);
      ASSERT_GE(fd, 0) << strerror(errno);
      int at = 200 + static_cast<int>(fds.size());
      ASSERT_EQ(dup2(fd, at), at);
      close(fd);
      fds.push_back(at);
    }
    for (int& p : ports)
      if (p == 0) p = 1;  // a port no socket here uses (nothing listens on 1 in a test)
    int slots[6];
    testing::internal::CaptureStdout();
    matchActivationSockets(200, static_cast<int>(fds.size()), ports, slots);
    flushConsole();
    std::string out = testing::internal::GetCapturedStdout();
    for (size_t i = 0; i < fds.size(); ++i) {
      int expected = c.slots[i];
      EXPECT_EQ(isOpen(fds[i]), expected >= 0) << "descriptor " << fds[i];
      if (expected >= 0) {
        EXPECT_EQ(slots[expected], fds[i]) << "slot " << expected;
        EXPECT_NE(fcntl(fds[i], F_GETFL) & O_NONBLOCK, 0) << "the listener must not block in accept";
      }
    }
    for (std::string line : c.lines) {
      for (int i = 0; i < 3; ++i) {
        const std::string mark = "P" + std::to_string(i);
        for (size_t at = line.find(mark); at != std::string::npos; at = line.find(mark))
          line.replace(at, 2, std::to_string(ports[i]));
      }
      EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
    }
    for (int fd : fds) close(fd);
  }
}

TEST(ActivationSockets, NoneHandedOverSaysNothing) {
  int ports[3] = {54469, 54569, 54669};
  int slots[6] = {7, 7, 7, 7, 7, 7};
  testing::internal::CaptureStdout();
  matchActivationSockets(3, 0, ports, slots);
  flushConsole();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (int slot : slots) EXPECT_EQ(slot, -1);
}

}  // namespace
