// Linux operating-system layer: executable path, console user rule and seam, file copy.
#include <gtest/gtest.h>

#include <fcntl.h>
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

}  // namespace
