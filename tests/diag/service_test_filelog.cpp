// The running service with a log settings file in place mirrors its console lines into
// the dated log file at level DEBUG; a flood of refused connections stays a trickle there
// and in the console.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "support/WorkDirLock.h"

namespace {

using noxtest::kWorkDir;
const char* const kSettings = "/tmp/NoxHalvorant/NoxHalvorant.ini";

std::string readAll(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string withoutColours(const std::string& text) {
  static const std::regex colour("\033\\[[0-9;]*m");
  return std::regex_replace(text, colour, "");
}

std::string today() {
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  char text[16];
  strftime(text, sizeof text, "%Y%m%d", &local);
  return text;
}

class FileLogService : public ::testing::Test {
 protected:
  void SetUp() override {
    // The settings file's place is fixed: no other service may run or read it meanwhile.
    ASSERT_TRUE(lock.take()) << lock.error();
    mkdir(kWorkDir, 0700);
    char pattern[] = "/tmp/nox_filelog_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    console = dir + "/console.txt";
    std::ofstream(kSettings) << "[NoxHalvorant]\nLog File=" << dir
                             << "/service.log\nLog Level=5\nLog MaxSize=0\n";
  }

  void TearDown() override {
    stopService(SIGKILL);
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(dir.c_str());
  }

  void startService() {
    pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int out = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out >= 0) {
        dup2(out, STDOUT_FILENO);
        close(out);
      }
      execl(NOX_SERVICE_EXE, NOX_SERVICE_EXE, static_cast<char*>(nullptr));
      _exit(127);
    }
  }

  // Signals the service (by its pid) and waits for it, at most five seconds.
  void stopService(int signal) {
    if (pid <= 0) return;
    kill(pid, signal);
    for (int i = 0; i < 50; ++i) {
      if (waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
  }

  bool running() { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

  // Polls the console output until it holds the text or the service ends (bounded).
  bool waitForConsole(const std::string& text, int milliseconds) {
    for (int waited = 0; waited < milliseconds; waited += 100) {
      if (readAll(console).find(text) != std::string::npos) return true;
      if (!running()) return readAll(console).find(text) != std::string::npos;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  std::string logFile() const {
    std::string name;
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string entry = e->d_name;
        if (entry.rfind("service_", 0) == 0) name = dir + "/" + entry;
      }
      closedir(d);
    }
    return name;
  }

  noxtest::WorkDirLock lock;  // released (the directory emptied) after TearDown
  pid_t pid = -1;
  std::string dir;
  std::string console;
};

TEST_F(FileLogService, ConsoleLinesReachTheDatedLogFileAsDebug) {
  const std::string dayBefore = today();
  startService();
  ASSERT_TRUE(waitForConsole("Log state: ", 60000)) << readAll(console);
  // Let start-up run on a little, so lines of several steps are compared.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  stopService(SIGTERM);
  const std::string dayAfter = today();

  std::string file = logFile();
  ASSERT_FALSE(file.empty()) << "no log file in " << dir;
  EXPECT_TRUE(file == dir + "/service_" + dayBefore + ".log" ||
              file == dir + "/service_" + dayAfter + ".log")
      << file;

  static const std::regex logLine(
      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] (.*))");
  std::vector<std::string> logged;
  for (const std::string& line : splitLines(readAll(file))) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, logLine)) << line;
    logged.push_back(m[1]);
  }
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.front(), std::string("Log Enable '") + kSettings + "'");
  std::multiset<std::string> pool(logged.begin(), logged.end());

  // Every console line from the log switch on appears in the log (label and value).
  static const std::regex consoleLine(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\](\[NoxHalvorant\].*))");
  bool on = false;
  int compared = 0;
  for (const std::string& raw : splitLines(withoutColours(readAll(console)))) {
    std::smatch m;
    if (!std::regex_match(raw, m, consoleLine)) continue;
    std::string text = m[1];
    if (text.find("Log state: ") != std::string::npos) {
      EXPECT_NE(text.find("Enable"), std::string::npos) << text;
      on = true;
    }
    if (!on) continue;
    auto found = pool.find(text);
    EXPECT_NE(found, pool.end()) << "console line missing from the log: " << text;
    if (found != pool.end()) pool.erase(found);
    ++compared;
  }
  EXPECT_TRUE(on);
  EXPECT_GE(compared, 2);
  RecordProperty("compared_lines", compared);
}

// Connections from 127.0.0.2 reach the IPv4 listener and are refused by its accept policy
// before any request. Each would print "Illegal connection ip: "; a flood of them gives
// about one line a second, with the count of the others, in the console and the log.
TEST_F(FileLogService, RefusedConnectionFloodGivesAboutOneLineASecond) {
  startService();
  ASSERT_TRUE(waitForConsole("NoxHalvorant initialization: Success", 60000)) << readAll(console);

  constexpr int kConnections = 2000;
  const auto start = std::chrono::steady_clock::now();
  int made = 0;
  for (; made < kConnections && std::chrono::steady_clock::now() - start < std::chrono::seconds(20); ++made) {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002);  // 127.0.0.2
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(54469);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from), 0) << strerror(errno);
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << strerror(errno);
    close(s);  // still in the listener's queue: it is accepted and refused all the same
  }

  // Every refused connection is accounted for: a line of its own, or in a count.
  static const std::regex refused(
      R"(.*\[Warning\] Illegal connection ip: ([0-9]+\.){13}[0-9]+(?: \(([0-9]+) more refused in the last second\))?)");
  struct Tally {
    long accounted = 0;
    size_t lines = 0;
  };
  auto tally = [](const std::string& text) {
    Tally t;
    for (const std::string& line : splitLines(text)) {
      std::smatch m;
      if (line.find("Illegal connection ip: ") == std::string::npos) continue;
      EXPECT_TRUE(std::regex_match(line, m, refused)) << line;
      ++t.lines;
      t.accounted += 1 + (m[2].matched ? std::stol(m[2]) : 0);
    }
    return t;
  };
  Tally shown;
  for (int waited = 0; waited < 15000 && (shown = tally(withoutColours(readAll(console)))).accounted < made;
       waited += 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(shown.accounted, made);
  EXPECT_LE(static_cast<double>(shown.lines), 2 + seconds) << shown.lines << " lines in " << seconds << " s";
  EXPECT_TRUE(running());

  stopService(SIGTERM);
  const Tally logged = tally(readAll(logFile()));
  EXPECT_EQ(logged.accounted, made);
  EXPECT_EQ(logged.lines, shown.lines);
  RecordProperty("refused_connections", made);
  RecordProperty("lines", static_cast<int>(shown.lines));
}

}  // namespace
