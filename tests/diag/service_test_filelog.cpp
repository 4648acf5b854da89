// The running service with a log settings file in place mirrors its console lines into
// the dated log file at level DEBUG.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
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

}  // namespace
