// File logger rotation by size. The file index lives for the whole process, so the steps
// of each case run in one test; the first case needs a fresh index, the others work from
// wherever it stands.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "diag/LogDirTest.h"
#include "diag/qzlog.h"
#include "util/Tool.h"

namespace {

long long sizeOf(const std::string& file) {
  struct stat info;
  return stat(file.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

using QzlogRotation = noxtest::LogDirTest;  // 5 December 2026

TEST_F(QzlogRotation, FullFilesMoveLinesToTheNextIndex) {
  std::ofstream(ini) << "[nox]\nLog File=" << dir << "/app.log\nLog MaxSize=1000\nLog Level=5\n";
  std::ofstream(dir + "/app_20261205.log") << std::string(1500, 'x');

  ASSERT_EQ(qzlog_init("nox", ini.c_str()), 0);
  EXPECT_EQ(qzlog(5, 0, "one"), 0);
  EXPECT_EQ(sizeOf(dir + "/app_20261205.log"), 1500);
  EXPECT_GT(sizeOf(dir + "/app_20261205_1.log"), 0);

  // The index carries over to the next day.
  now = noxtest::utc(2026, 12, 6, 12, 0, 0);
  EXPECT_EQ(qzlog(5, 0, "two"), 0);
  EXPECT_GT(sizeOf(dir + "/app_20261206_1.log"), 0);
  EXPECT_EQ(sizeOf(dir + "/app_20261206.log"), -1);

  // A file ends at most one line beyond the limit.
  const std::string line(300, 'l');
  for (int i = 0; i < 5; ++i) EXPECT_EQ(qzlog(5, 0, "%s", line.c_str()), 0);
  long long first = sizeOf(dir + "/app_20261206_1.log");
  EXPECT_GT(first, 1000);
  EXPECT_LT(first, 1000 + 400);
  EXPECT_GT(sizeOf(dir + "/app_20261206_2.log"), 0);

  // Without an extension the index is appended too, so rotation still finds a new file.
  ASSERT_EQ(qzlog_initialize((dir + "/plain").c_str(), 5), 0);
  std::ofstream(dir + "/plain_20261206_2") << std::string(1500, 'x');
  EXPECT_EQ(qzlog(5, 0, "three"), 0);
  EXPECT_EQ(sizeOf(dir + "/plain_20261206_2"), 1500);
  EXPECT_GT(sizeOf(dir + "/plain_20261206_3"), 0);

}

// Indexes of the files of day 2026-12-05 named like stem.log ("stem_20261205.log" is 0).
std::set<unsigned long> dayFiles(const std::string& dir, const std::string& stem) {
  std::set<unsigned long> found;
  const std::string prefix = stem + "_20261205";
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name == prefix + ".log") found.insert(0);
      if (name.rfind(prefix + "_", 0) != 0 || name.size() < prefix.size() + 6) continue;
      const std::string number = name.substr(prefix.size() + 1, name.size() - prefix.size() - 5);
      if (name.compare(name.size() - 4, 4, ".log") == 0 && number.find_first_not_of("0123456789") == std::string::npos)
        found.insert(std::stoul(number));
    }
    closedir(d);
  }
  return found;
}

void ageFile(const std::string& file, int seconds) {
  struct timeval times[2];
  gettimeofday(&times[0], nullptr);
  times[0].tv_sec -= seconds;
  times[1] = times[0];
  ASSERT_EQ(utimes(file.c_str(), times), 0) << file;
}

// A flood of lines cannot fill the disk: each rotation removes the day's oldest files
// beyond ten, also those an earlier run left with other numbers; nothing else is touched.
TEST_F(QzlogRotation, ADayKeepsTenFullFilesBesideTheCurrentOne) {
  std::ofstream(ini) << "[nox]\nLog File=" << dir << "/app.log\nLog MaxSize=1\nLog Level=5\n";
  // Left by an earlier run (older than anything written now), and neighbours to keep.
  for (int i = 900; i < 905; ++i) {
    const std::string earlier = dir + "/app_20261205_" + std::to_string(i) + ".log";
    std::ofstream(earlier) << "earlier run\n";
    ageFile(earlier, 3600);
  }
  const std::string keep[] = {dir + "/app_20261204_3.log", dir + "/app_20261205_2.log.gz",
                              dir + "/other_20261205_1.log", dir + "/app_20261205_x.log"};
  for (const std::string& file : keep) {
    std::ofstream(file) << "keep\n";
    ageFile(file, 7200);
  }

  ASSERT_EQ(qzlog_init("nox", ini.c_str()), 0);
  for (int i = 0; i < 30; ++i) EXPECT_EQ(qzlog(5, 0, "line %d", i), 0);  // every line fills a file

  const std::set<unsigned long> files = dayFiles(dir, "app");
  ASSERT_EQ(files.size(), 11u);
  const unsigned long newest = *files.rbegin();
  EXPECT_EQ(*files.begin(), newest - 10) << "not the newest eleven";
  std::ifstream last(dir + "/app_20261205_" + std::to_string(newest) + ".log");
  std::string text((std::istreambuf_iterator<char>(last)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("line 29"), std::string::npos) << text;
  for (const std::string& file : keep) EXPECT_GE(sizeOf(file), 0) << file;

}

}  // namespace
