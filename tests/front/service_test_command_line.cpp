// The service executable as a user or a service manager runs it: answers to arguments,
// exit statuses of a failed start, console colours by output kind, sockets handed over by
// a service manager.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <initializer_list>
#include <regex>
#include <string>
#include <vector>

#include "front/Key.h"
#include "support/ServiceHarness.h"
#include "support/WorkDirLock.h"
#include "util/Tool.h"

namespace {


struct Outcome {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;  // stdout (and, on a terminal, stderr too)
  std::string err;
};

// Reads fd until end of output (EOF, or EIO on a terminal) or the deadline; when stopAt
// shows up, sends SIGTERM to pid once.
void drain(int fd, std::string* text, pid_t pid, const std::string& stopAt, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  bool stopped = stopAt.empty();
  for (;;) {
    if (!stopped && text->find(stopAt) != std::string::npos) {
      kill(pid, SIGTERM);
      stopped = true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return;
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) return;
    text->append(buffer, static_cast<size_t>(n));
  }
}

int reap(pid_t pid) {
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(20000);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the service with args and extra environment; stdout and stderr are pipes, or one
// terminal when terminal is set. stopAt: SIGTERM once the output holds it.
Outcome runService(const std::vector<std::string>& args, const std::vector<std::string>& env, bool terminal,
               const std::string& stopAt = "") {
  std::vector<std::string> argStore = {NOX_SERVICE_EXE};
  argStore.insert(argStore.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStore) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  Outcome run;
  int outPipe[2] = {-1, -1}, errPipe[2] = {-1, -1}, master = -1;
  pid_t pid;
  if (terminal) {
    pid = forkpty(&master, nullptr, nullptr, nullptr);
  } else {
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) return run;
    pid = fork();
  }
  if (pid < 0) return run;
  if (pid == 0) {
    if (!terminal) {
      dup2(outPipe[1], STDOUT_FILENO);
      dup2(errPipe[1], STDERR_FILENO);
    }
    unsetenv("NO_COLOR");
    for (const std::string& e : env) putenv(strdup(e.c_str()));
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (terminal) {
    drain(master, &run.out, pid, stopAt, 90);
    close(master);
  } else {
    close(outPipe[1]);
    close(errPipe[1]);
    drain(outPipe[0], &run.out, pid, stopAt, 90);
    drain(errPipe[0], &run.err, pid, "", 10);
    close(outPipe[0]);
    close(errPipe[0]);
  }
  run.status = reap(pid);
  return run;
}

TEST(ServiceCommandLine, ArgumentsAnswerWithoutStarting) {
  const std::string dir = noxtest::dataDirectory();  // this process's private data home
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {{"--version"}, 0, "NoxHalvorant 1.0.23.0510\n", ""},
      {{"--help"}, 0, "Usage: NoxHalvorant", ""},
      {{"--start"}, 2, "", "unknown argument '--start'"},
      {{"-v", "x"}, 2, "", "Usage: NoxHalvorant"},
  };
  for (const Case& c : cases) {
    Outcome run = runService(c.args, {}, false);
    EXPECT_EQ(run.status, c.status) << c.args[0] << "\n" << run.out << run.err;
    if (*c.out) {
      EXPECT_NE(run.out.find(c.out), std::string::npos) << run.out;
    }
    if (*c.err) {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << run.err;
    }
    if (c.status == 2) {
      EXPECT_EQ(run.out, "");
    }
    // None of them began the start-up.
    EXPECT_EQ(run.out.find("Halvorant*"), std::string::npos) << run.out;
  }
  Outcome version = runService({"--version"}, {}, false);
  EXPECT_NE(version.out.find("Certificate: none yet for this user"), std::string::npos) << version.out;
  ASSERT_TRUE(prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr));
  discardCredentials();
  version = runService({"--version"}, {}, false);
  EXPECT_NE(version.out.find("Certificate: localhost, expires 20"), std::string::npos) << version.out;
}

// A key file others can read is never used: the start fails (a service manager tries
// again) and says which file and what to do.
TEST(ServiceCommandLine, RefusedKeyFileExitsUnavailable) {
  noxtest::WorkDirLock lock;
  ASSERT_TRUE(lock.take()) << lock.error();
  const std::string dir = noxtest::dataDirectory();
  ASSERT_TRUE(prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr));
  discardCredentials();
  const std::string key = dir + "/localhost-key.pem";
  ASSERT_EQ(chmod(key.c_str(), 0644), 0);
  Outcome run = runService({}, {}, false);
  EXPECT_EQ(run.status, 69) << run.out;
  EXPECT_NE(run.out.find("[Error] Credentials: " + key +
                         " can be read by other users (mode 0644): refused, never used. Remove it: the next start "
                         "makes a new one"),
            std::string::npos)
      << run.out;
  EXPECT_EQ(run.out.find("launch state"), std::string::npos) << run.out;
  ASSERT_EQ(chmod(key.c_str(), 0600), 0);
}

// The service run by a socket activator that holds these addresses for it.
noxtest::ServiceOptions activated(std::initializer_list<const char*> addresses) {
  noxtest::ServiceOptions options;
  options.copy = false;
  options.wrapper = {"systemd-socket-activate", "-E", "XDG_DATA_HOME", "-E", "NO_COLOR=1"};
  for (const char* address : addresses) {
    options.wrapper.push_back("-l");
    options.wrapper.push_back(address);
  }
  return options;
}

// Started by a socket activator with five of its six sockets and one foreign socket: the
// five serve, the sixth address is bound as usual, the foreign socket is closed unused.
TEST(ServiceCommandLine, SocketsFromTheServiceManager) {
  noxtest::Service service(activated({"127.0.0.1:54469", "[::1]:54469", "127.0.0.1:54569", "[::1]:54569",
                                      "127.0.0.1:54669", "127.0.0.1:54479"}));
  ASSERT_TRUE(service.takeLock()) << service.error();
  // The CA exists before the first connection, as after the user's --trust.
  const std::string dir = noxtest::dataDirectory();
  ASSERT_TRUE(prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr));
  discardCredentials();
  ASSERT_TRUE(service.start("Listening on 127.0.0.1:54479", 30)) << service.error() << service.output();
  EXPECT_EQ(service.output().find("Halvorant"), std::string::npos) << "started before the first connection";

  // The first connection starts the service, which answers it on the socket it was given.
  noxtest::Answer first = noxtest::postForm(54469, "", "https://a.test", "", noxtest::echoJson());
  ASSERT_TRUE(first.ok()) << first.error << service.output();
  EXPECT_EQ(first.values()["result"], "0") << first.body;
  // The first listener answers while the others are still being started.
  ASSERT_TRUE(service.waitFor("NoxHalvorant initialization: ", 30)) << service.output();
  const std::string out = service.output();
  EXPECT_NE(out.find("Socket activation: 6 listening sockets from the service manager"), std::string::npos) << out;
  EXPECT_NE(out.find("[Error] Socket activation: descriptor 8 (127.0.0.1:54479) is not one of the service's "
                     "addresses: closed"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("[Error] Socket activation: no socket for [::1]:54669 from the service manager: bound here"),
            std::string::npos)
      << out;
  for (const char* listener : {"127.0.0.1:54469", "[::1]:54469", "127.0.0.1:54569", "[::1]:54569",
                               "127.0.0.1:54669", "[::1]:54669"})
    EXPECT_NE(out.find(std::string("NoxHalvorant at ") + listener + " launch state: Success"), std::string::npos)
        << listener << "\n" << out;
  for (int port : {54569, 54669}) {
    noxtest::Request r;
    r.port = port;
    r.ipv6 = port == 54669;  // the one bound here
    r.origin = "https://a.test";
    r.json = noxtest::echoJson();
    EXPECT_EQ(noxtest::send(r).values()["result"], "0") << port;
  }
  // Nothing serves the foreign socket any more.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in foreign = {};
  foreign.sin_family = AF_INET;
  foreign.sin_port = htons(54479);
  foreign.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_NE(connect(s, reinterpret_cast<sockaddr*>(&foreign), sizeof foreign), 0);
  close(s);
  EXPECT_EQ(service.stop(), 0) << service.output();
}

// Started through its sockets with a short idle exit, as the socket unit does with 600: an
// open session keeps the service, and once it is released and the connection closed, the
// service ends by itself (status 0), no sooner than the idle time after that connection.
TEST(ServiceCommandLine, IdleExitAfterSocketActivation) {
  noxtest::ServiceOptions options = activated(
      {"127.0.0.1:54469", "[::1]:54469", "127.0.0.1:54569", "[::1]:54569", "127.0.0.1:54669", "[::1]:54669"});
  options.arguments = {"--idle-exit=1"};
  noxtest::Service service(options);
  ASSERT_TRUE(service.takeLock()) << service.error();
  const std::string dir = noxtest::dataDirectory();
  ASSERT_TRUE(prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr));
  discardCredentials();
  ASSERT_TRUE(service.start("Listening on [::1]:54669", 30)) << service.error() << service.output();

  noxtest::Answer opened = noxtest::postForm(54469, "", "https://a.test", "", noxtest::echoJson());
  ASSERT_TRUE(opened.ok()) << opened.error << service.output();
  const std::string session = opened.values()["SessionID"];
  ASSERT_FALSE(session.empty()) << opened.body;
  // Three idle times with the session open: still there.
  std::this_thread::sleep_for(std::chrono::seconds(3));
  ASSERT_TRUE(service.running()) << service.output();
  EXPECT_EQ(service.output().find("Idle exit"), std::string::npos);

  noxtest::Answer released = noxtest::postForm(
      54469, "", "https://a.test", "",
      "{\"FunctionName\":\"HalvorantRelease\",\"SessionId\":\"" + session + "\"}");
  ASSERT_TRUE(released.ok()) << released.error;
  const auto answeredAt = std::chrono::steady_clock::now();
  EXPECT_EQ(service.waitExit(30), 0) << service.output();
  EXPECT_GE(std::chrono::steady_clock::now() - answeredAt, std::chrono::seconds(1));
  const std::string out = service.output();
  const size_t idle = out.find("Idle exit: no connection, session, stored value or call for 1 s");
  ASSERT_NE(idle, std::string::npos) << out;
  EXPECT_NE(out.find("[HalvorantFinal] Ready to suicide", idle), std::string::npos) << out;
}

TEST(ServiceCommandLine, FailedStartExitsUnavailable) {
  noxtest::WorkDirLock lock;
  ASSERT_TRUE(lock.take()) << lock.error();
  // Every port taken on both loopback addresses: no listener can start.
  std::vector<int> sockets;
  for (int port : {54469, 54569, 54669}) {
    for (int family : {AF_INET, AF_INET6}) {
      int s = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      ASSERT_GE(s, 0);
      sockaddr_storage address = {};
      socklen_t length;
      if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
      } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
      }
      // Connections the service closed itself leave TIME_WAIT entries on its ports; like
      // the service, bind past them (a live listener still cannot be bound twice).
      int one = 1;
      setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      int taken = bind(s, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(s, 1) == 0;
      // A host without IPv6 loopback refuses that family to the service as well.
      if (!taken && family == AF_INET6) {
        close(s);
        continue;
      }
      ASSERT_TRUE(taken) << port << " " << strerror(errno);
      sockets.push_back(s);
    }
  }
  Outcome run = runService({}, {}, false);
  for (int s : sockets) close(s);
  EXPECT_EQ(run.status, 69) << run.out;
  EXPECT_NE(run.out.find("NoxHalvorant initialization: Fail"), std::string::npos) << run.out;
}

TEST(ServiceCommandLine, ColoursOnlyOnATerminalAndNotWithNoColor) {
  noxtest::WorkDirLock lock;
  ASSERT_TRUE(lock.take()) << lock.error();
  struct Case {
    bool terminal;
    std::vector<std::string> env;
    bool colour;
  };
  const Case cases[] = {
      {true, {}, true},
      {true, {"NO_COLOR=1"}, false},
      {false, {}, false},
  };
  for (const Case& c : cases) {
    Outcome run = runService({}, c.env, c.terminal, std::string(79, '='));
    SCOPED_TRACE(std::string(c.terminal ? "terminal" : "pipe") + (c.env.empty() ? "" : " NO_COLOR=1"));
    EXPECT_EQ(run.status, 0) << run.out;
    std::string plain = std::regex_replace(run.out, std::regex("\033\\[[0-9;]*m"), "");
    ASSERT_NE(plain.find("NoxHalvorant initialization: Success"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find('\033') != std::string::npos, c.colour) << run.out;
    // Start-up names the certificate's expiry date.
    EXPECT_NE(plain.find("Certificate expiry: 20"), std::string::npos) << run.out;
  }
}

}  // namespace
