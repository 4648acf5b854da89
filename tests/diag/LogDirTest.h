// A fixture for file logger tests: UTC on a fixed clock (5 December 2026, 15:54:43), the
// logger switched off, and a private directory for settings and log files, emptied and
// removed afterwards.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "diag/qzlog.h"
#include "util/Tool.h"

namespace noxtest {

inline time_t utc(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return timegm(&t);
}

class LogDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    now = utc(2026, 12, 5, 15, 54, 43);
    setHalvorantClock([] { return now; });
    qzlog_initialize(nullptr, 0);
    char pattern[] = "/tmp/nox_qzlog_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
    ini = dir + "/log.ini";
  }
  void TearDown() override {
    qzlog_initialize(nullptr, 0);
    setHalvorantClock(nullptr);
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') unlink((dir + "/" + e->d_name).c_str());
      closedir(d);
    }
    rmdir(dir.c_str());
  }

  inline static time_t now = 0;  // what the clock says
  std::string dir;
  std::string ini;
};

}  // namespace noxtest
