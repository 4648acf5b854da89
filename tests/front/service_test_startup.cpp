// Starts a copy of the service, reads its start-up lines and stops it with a signal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>

#include "support/WorkDirLock.h"

namespace {

namespace fs = std::filesystem;

std::string plain(const std::string& text) { return std::regex_replace(text, std::regex("\033\\[[0-9]+m"), ""); }

class ServiceProcess : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lock_.take()) << lock_.error();
    char pattern[] = "/tmp/nox_front_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    exe_ = dir_ + "/NoxHalvorant";
    fs::copy_file(NOX_SERVICE_EXE, exe_);
    fs::permissions(exe_, fs::perms::owner_all);
  }
  void TearDown() override {
    if (pid_ > 0) {  // still running after a failed check: stop our own child
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void start() {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      dup2(fds[1], STDOUT_FILENO);
      close(fds[0]);
      close(fds[1]);
      execl(exe_.c_str(), exe_.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }

  // Reads until the text holds `until` (or end of output, or the time limit).
  bool readUntil(const std::string& until, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (plain(text_).find(until) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p = {out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      ssize_t n = read(out_, buffer, sizeof buffer);
      if (n <= 0) return plain(text_).find(until) != std::string::npos;
      text_.append(buffer, static_cast<size_t>(n));
    }
    return true;
  }

  int stop(int signal) {
    EXPECT_EQ(kill(pid_, signal), 0);
    readUntil("\x01never", 30);  // drain to end of output
    int status = -1;
    EXPECT_EQ(waitpid(pid_, &status, 0), pid_);
    pid_ = -1;
    return status;
  }

  noxtest::WorkDirLock lock_;
  std::string dir_, exe_, text_;
  pid_t pid_ = -1;
  int out_ = -1;
};

TEST_P(ServiceProcess, StartsAndStopsCleanlyOnSignal) {
  start();
  ASSERT_TRUE(readUntil("NoxHalvorant initialization: ", 60)) << text_;
  ASSERT_TRUE(readUntil("\n", 5));
  std::string lines = plain(text_);
  size_t banner = lines.find(std::string(37, '*') + "Halvorant" + std::string(33, '*') + "\n");
  ASSERT_NE(banner, std::string::npos) << lines;
  size_t setting = lines.find("[NoxHalvorant][Normal] Execute setting: Nox\n");
  EXPECT_LT(banner, setting);
  EXPECT_NE(lines.find("[NoxHalvorant][Normal] Compile time: "), std::string::npos);
  EXPECT_NE(lines.find("[NoxHalvorant][Normal] Git time: "), std::string::npos);
  EXPECT_NE(lines.find("[NoxHalvorant][Normal] CopyPath: /tmp/NoxHalvorant\n"), std::string::npos);
  EXPECT_NE(lines.find("[NoxHalvorant][Normal] Execute path: " + dir_ + "\n"), std::string::npos) << lines;
  EXPECT_NE(lines.find("[NoxHalvorant][Normal] Support port: 54469 54569 54669\n"), std::string::npos);
  EXPECT_NE(lines.find("Halvorant Version: 1.0.23.0510\n"), std::string::npos);
  ASSERT_NE(lines.find("NoxHalvorant initialization: Success\n"), std::string::npos) << lines;

  int status = stop(GetParam());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  lines = plain(text_);
  EXPECT_NE(lines.find(std::string("Stop signal: ") + (GetParam() == SIGINT ? "SIGINT" : "SIGTERM")),
            std::string::npos);
  size_t release = lines.find("[HalvorantFinal] Start release all adapters");
  size_t success = lines.find("[HalvorantFinal] Release adapters success");
  size_t ready = lines.find("[HalvorantFinal] Ready to suicide");
  ASSERT_NE(release, std::string::npos) << lines;
  EXPECT_LT(release, success);
  EXPECT_LT(success, ready);
  EXPECT_NE(ready, std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServiceProcess, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(info.param == SIGINT ? "SIGINT" : "SIGTERM");
                         });

}  // namespace
