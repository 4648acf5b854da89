// File logger: settings, line format, levels and names, with a fixed clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "diag/LogDirTest.h"
#include "diag/qzlog.h"
#include "util/Tool.h"

namespace {

class QzlogTest : public noxtest::LogDirTest {
 protected:
  void settings(const std::string& body) { std::ofstream(ini) << "[Nox]\n" << body; }
  static std::vector<std::string> lines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
  }
  static bool exists(const std::string& file) {
    struct stat info;
    return stat(file.c_str(), &info) == 0;
  }
  // The text after the "stamp level [pid-tid] " prefix.
  static std::string message(const std::string& line) {
    size_t end = line.find("] ", line.find(" [", 24));
    return end == std::string::npos ? "" : line.substr(end + 2);
  }

};

TEST_F(QzlogTest, SettingsSwitchTheLogOnWithDatedFile) {
  settings("Log File=" + dir + "/app.log\nLog Level=5\n");
  EXPECT_EQ(qzlog_init("nox", ini.c_str()), 0);
  EXPECT_EQ(qzlog(5, 0, "hello %d", 7), 0);
  std::vector<std::string> written = lines(dir + "/app_20261205.log");
  ASSERT_EQ(written.size(), 2u);
  EXPECT_EQ(message(written[0]), "Log Enable '" + ini + "'");
  std::regex shape(R"(2026-12-05 15:54:43\.\d{3} \[DEBUG\] \[\d{5}-\d{5}\] hello 7)");
  EXPECT_TRUE(std::regex_match(written[1], shape)) << written[1];
  char ids[16];
  std::snprintf(ids, sizeof ids, "[%05lu-", static_cast<unsigned long>(getpid() % 100000));
  EXPECT_NE(written[1].find(ids), std::string::npos);
}

TEST_F(QzlogTest, OnlyOneSetUpUntilSwitchedOff) {
  settings("Log File=" + dir + "/a.log\nLog Level=5\n");
  EXPECT_EQ(qzlog_init("Nox", ini.c_str()), 0);
  EXPECT_EQ(qzlog_init("Nox", ini.c_str()), -1);
  EXPECT_EQ(qzlog_initialize(nullptr, 0), 0);
  EXPECT_EQ(qzlog(1, 0, "off"), -2);
  EXPECT_EQ(qzlog_init("Nox", ini.c_str()), 0);
}

struct SettingsCase {
  const char* name;
  const char* body;
  int code;
  bool logging;  // a level-5 line is written
};

TEST_F(QzlogTest, SettingsOutcomes) {
  const SettingsCase cases[] = {
      {"level 4 drops service lines", "Log Level=4\n", 0, false},
      {"no level keeps it off", "Log MaxSize=10\n", 103, false},
      {"level above 5 refused", "Log Level=9\n", -2, false},
      {"negative level refused", "Log Level=-1\n", -2, false},
  };
  for (const SettingsCase& c : cases) {
    SCOPED_TRACE(c.name);
    qzlog_initialize(nullptr, 0);
    settings("Log File=" + dir + "/s.log\n" + c.body);
    EXPECT_EQ(qzlog_init("nox", ini.c_str()), c.code);
    EXPECT_EQ(qzlog(5, 0, "x") == 0, c.logging);
  }
  qzlog_initialize(nullptr, 0);
  EXPECT_EQ(qzlog_init("nox", (dir + "/none.ini").c_str()), 101);
  qzlog_initialize(nullptr, 0);
  EXPECT_EQ(qzlog_init("nox", nullptr), 101);
  qzlog_initialize(nullptr, 0);
  settings("Log Level=5\n");
  EXPECT_EQ(qzlog_init("other", ini.c_str()), 102);
  // Level 4: the switch-on line itself is written as INFO, service lines are not.
  std::vector<std::string> written = lines(dir + "/s_20261205.log");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_NE(written[0].find(" [INFO ] ["), std::string::npos);
}

TEST_F(QzlogTest, LevelNamesAndRefusedLevels) {
  const std::string file = dir + "/lv.log";
  ASSERT_EQ(qzlog_initialize(file.c_str(), 5), 0);
  const char* names[] = {"", "[FATAL]", "[ERROR]", "[WARN ]", "[INFO ]", "[DEBUG]"};
  for (int level = 0; level <= 5; ++level) EXPECT_EQ(qzlog(level, 0, "L%d", level), 0);
  EXPECT_EQ(qzlog(6, 0, "six"), -2);
  EXPECT_EQ(qzlog(-1, 0, "minus"), -2);
  EXPECT_EQ(qzlog_setlevel(6), -2);
  EXPECT_EQ(qzlog_initialize(file.c_str(), 7), -2);
  EXPECT_EQ(qzlog(5, 0, "still on"), 0);
  std::vector<std::string> written = lines(dir + "/lv_20261205.log");
  ASSERT_EQ(written.size(), 7u);
  for (int level = 0; level <= 5; ++level) {
    SCOPED_TRACE(level);
    std::string expected = std::string(" ") + names[level] + " [";
    EXPECT_EQ(written[level].substr(23, expected.size()), expected);
    EXPECT_EQ(message(written[level]), "L" + std::to_string(level));
  }
  EXPECT_EQ(qzlog_setlevel(2), 0);
  EXPECT_EQ(qzlog(3, 0, "dropped"), -2);
  EXPECT_EQ(qzlog(2, 0, "kept"), 0);
}

TEST_F(QzlogTest, NothingIsWrittenBeforeSetUp) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  EXPECT_EQ(qzlog(0, 0, "stray"), -2);
  EXPECT_EQ(qzlog_dump(0, "a", 1, "f", "k", nullptr, 0), -2);
  DIR* d = opendir(".");
  int count = 0;
  while (dirent* e = readdir(d)) count += e->d_name[0] != '.';
  closedir(d);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(chdir(cwd), 0);
}

struct NameCase {
  const char* name;
  const char* logFile;  // relative to the test directory
  const char* expected;
};

TEST_F(QzlogTest, FileNamesCarryTheDate) {
  ASSERT_EQ(mkdir((dir + "/my.logs").c_str(), 0700), 0);
  const NameCase cases[] = {
      {"extension", "app.log", "app_20261205.log"},
      {"no extension", "applog", "applog_20261205"},
      {"dot in directory only", "my.logs/applog", "my.logs/applog_20261205"},
      {"last dot counts", "a.b.txt", "a.b_20261205.txt"},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(qzlog_initialize((dir + "/" + c.logFile).c_str(), 5), 0);
    EXPECT_EQ(qzlog(5, 0, "x"), 0);
    EXPECT_TRUE(exists(dir + "/" + c.expected));
    unlink((dir + "/" + c.expected).c_str());
  }
  rmdir((dir + "/my.logs").c_str());
}

TEST_F(QzlogTest, MissingLogFileUsesTheDefaultInWorkingDirectory) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  const std::string fallback = dir + "/C:\\QzLog_20261205.log";
  for (const char* body : {"Log Level=5\n", "Log Level=5\nLog File=\n"}) {
    SCOPED_TRACE(body);
    qzlog_initialize(nullptr, 0);
    settings(body);
    EXPECT_EQ(qzlog_init("nox", ini.c_str()), 0);
    EXPECT_EQ(qzlog(5, 0, "x"), 0);
    EXPECT_TRUE(exists(fallback));
    unlink(fallback.c_str());
  }
  ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(QzlogTest, BareSettingsNameIsLookedUpInTmp) {
  std::string name = "nox_qzlog_" + std::to_string(getpid()) + ".ini";
  std::string tmpIni = "/tmp/" + name;
  std::ofstream(tmpIni) << "[nox]\nLog File=" << dir << "/bare.log\nLog Level=3\n";
  EXPECT_EQ(qzlog_init("nox", name.c_str()), 0);
  unlink(tmpIni.c_str());
  std::vector<std::string> written = lines(dir + "/bare_20261205.log");
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(message(written[0]), "Log Enable '" + tmpIni + "'");
}

TEST_F(QzlogTest, DumpWritesHex) {
  ASSERT_EQ(qzlog_initialize((dir + "/d.log").c_str(), 5), 0);
  const unsigned char bytes[] = {0x01, 0xAB};
  EXPECT_EQ(qzlog_dump(5, "a", 7, "f", "k", bytes, 2), 0);
  EXPECT_EQ(qzlog_dump(5, "a", 8, "f", "k", nullptr, 3), 0);
  EXPECT_EQ(qzlog_dump(5, nullptr, 9, nullptr, nullptr, bytes, 0), 0);
  std::vector<std::string> written = lines(dir + "/d_20261205.log");
  ASSERT_EQ(written.size(), 3u);
  EXPECT_EQ(message(written[0]), "a 7 f k 2 01AB");
  EXPECT_EQ(message(written[1]), "a 8 f k 3 (null)");
  EXPECT_EQ(message(written[2]), "(null) 9 (null) (null) 0 (null)");
}

TEST_F(QzlogTest, LinesOfManyThreadsStayWhole) {
  ASSERT_EQ(qzlog_initialize((dir + "/t.log").c_str(), 5), 0);
  const std::string payload(300, 'p');
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&] {
      for (int i = 0; i < 200; ++i) qzlog(5, 0, "%s", payload.c_str());
    });
  for (std::thread& w : workers) w.join();
  std::vector<std::string> written = lines(dir + "/t_20261205.log");
  ASSERT_EQ(written.size(), 800u);
  for (const std::string& line : written) ASSERT_EQ(message(line), payload);
}

TEST(QzlogClock, MillisecondsFollowTheWallClock) {
  uint64_t before = static_cast<uint64_t>(time(nullptr)) * 1000;
  uint64_t now = GetMilliseconds();
  EXPECT_GE(now + 1000, before);
  EXPECT_LE(now, before + 2000);
  EXPECT_GE(qzlog_time(), now);
  EXPECT_EQ(GetCurrentProcessId(), static_cast<uint64_t>(getpid()));
}

}  // namespace
