// File logger rotation by size. The file index lives for the whole process, so these
// steps run in one test of their own program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "diag/qzlog.h"
#include "util/Tool.h"

namespace {

time_t fixedNow = 0;
time_t fixedClock() { return fixedNow; }

time_t utcDay(int day) {
  struct tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = day;
  t.tm_hour = 12;
  return timegm(&t);
}

long long sizeOf(const std::string& file) {
  struct stat info;
  return stat(file.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

TEST(QzlogRotation, FullFilesMoveLinesToTheNextIndex) {
  setenv("TZ", "UTC0", 1);
  tzset();
  fixedNow = utcDay(5);
  setHalvorantClock(fixedClock);
  char pattern[] = "/tmp/nox_rot_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  const std::string ini = dir + "/log.ini";
  std::ofstream(ini) << "[nox]\nLog File=" << dir << "/app.log\nLog MaxSize=1000\nLog Level=5\n";
  std::ofstream(dir + "/app_20261205.log") << std::string(1500, 'x');

  ASSERT_EQ(qzlog_init("nox", ini.c_str()), 0);
  EXPECT_EQ(qzlog(5, 0, "one"), 0);
  EXPECT_EQ(sizeOf(dir + "/app_20261205.log"), 1500);
  EXPECT_GT(sizeOf(dir + "/app_20261205_1.log"), 0);

  // The index carries over to the next day.
  fixedNow = utcDay(6);
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

  qzlog_initialize(nullptr, 0);
  setHalvorantClock(nullptr);
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
    closedir(d);
  }
  rmdir(dir.c_str());
}

}  // namespace
