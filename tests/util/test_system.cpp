// System helpers: time texts and values through the clock seam, identifiers, files,
// paths and library release.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "util/Tool.h"
#include "util/ToolDetail.h"

namespace {

std::string take(char* text) {
  std::string out = text != nullptr ? text : "<null>";
  freeMem(text);
  return out;
}

time_t g_fixed = 0;
time_t fixedClock() { return g_fixed; }

// Local time in UTC and a fixed clock, restored afterwards.
class FixedUtcClock : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = getenv("TZ");
    hadTz_ = tz != nullptr;
    if (hadTz_) oldTz_ = tz;
    setenv("TZ", "UTC", 1);
    tzset();
    setHalvorantClock(fixedClock);
  }
  void TearDown() override {
    setHalvorantClock(nullptr);
    if (hadTz_)
      setenv("TZ", oldTz_.c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }
  bool hadTz_ = false;
  std::string oldTz_;
};

TEST_F(FixedUtcClock, TimeValueFormula) {
  struct Case {
    time_t now;
    uint64_t value;
  };
  const Case cases[] = {
      {1796486083, 347385283ULL},              // 2026-12-05 15:54:43
      {1769903999, 349660799ULL},              // 2026-01-31 23:59:59
      {1769904000, 346982400ULL},              // 2026-02-01 00:00:00: smaller, month left out
      {1709208000, 287150400ULL},              // 2024-02-29 12:00:00, leap length
      {946684800, 18446744073236598016ULL},    // 2000-01-01: before the base year, wraps
  };
  for (const Case& c : cases) {
    g_fixed = c.now;
    EXPECT_EQ(getTimeValue(), c.value) << c.now;
  }
  g_fixed = 1796486083;
  EXPECT_EQ(take(getTimeValueStr()), "14b4adc3");
}

TEST_F(FixedUtcClock, TimeTexts) {
  g_fixed = 1796486083;
  EXPECT_EQ(take(getTime("[%d-%s-%s %s:%s:%s]")), "[2026-12-05 15:54:43]");
  EXPECT_EQ(take(getTime("%d%s%s")), "20261205");
  EXPECT_EQ(take(getTime("100%% %d")), "100% 2026");
  EXPECT_EQ(getTime("%s"), nullptr);  // the year comes first, as a number
  EXPECT_EQ(getTime("%d %s %n"), nullptr);
  EXPECT_EQ(getTime("%d%s%s%s%s%s%s"), nullptr);
  EXPECT_EQ(getTime(nullptr), nullptr);
  std::string longFormat(100, 'x');
  EXPECT_EQ(take(getTime(longFormat.c_str())).size(), 63u);
  EXPECT_EQ(halvorantNow(), 1796486083);
}

TEST(Clock, SeamRestoresSystemClock) {
  setHalvorantClock(nullptr);
  time_t before = time(nullptr);
  time_t now = halvorantNow();
  EXPECT_GE(now, before);
  EXPECT_LE(now, before + 5);
}

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_util_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    setSecureRandomDevice(nullptr);
    std::string command = "rm -rf '" + dir_ + "'";
    ASSERT_EQ(system(command.c_str()), 0);
  }
  std::string path(const char* name) const { return dir_ + "/" + name; }
  void write(const std::string& file, const std::string& content) const {
    std::ofstream out(file, std::ios::binary);
    out << content;
  }
  std::string dir_;
};

TEST_F(TempDir, GenUuidMapping) {
  setSecureRandomDevice(path("missing").c_str());
  EXPECT_EQ(take(genUUID()), "00000000_SID");
  unsigned char buffer[4] = {1, 2, 3, 4};
  EXPECT_FALSE(getSecureRandom(buffer, 4));
  EXPECT_EQ(buffer[0], 1);  // untouched when the device cannot be opened

  // Signed widening: 36 -> '0', 128 -> 'W', 255 -> 'F'; a short device leaves zeros.
  write(path("device"), std::string("\x24\x80\xff\x0b\x23", 5));
  setSecureRandomDevice(path("device").c_str());
  EXPECT_EQ(take(genUUID()), "0WFBZ000_SID");

  setSecureRandomDevice(nullptr);
  std::string id = take(genUUID());
  ASSERT_EQ(id.size(), 12u);
  EXPECT_EQ(id.substr(8), "_SID");
  EXPECT_EQ(id.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"), 8u);
  EXPECT_TRUE(getSecureRandom(buffer, 0));
  EXPECT_TRUE(getSecureRandom(nullptr, 0));
  EXPECT_FALSE(getSecureRandom(nullptr, 4));
}

TEST_F(TempDir, ReadFile) {
  write(path("empty"), "");
  EXPECT_EQ(readFile(path("empty").c_str(), "r"), nullptr);
  std::string long600(600, 'q');
  write(path("long"), long600);
  EXPECT_EQ(take(readFile(path("long").c_str(), "r")), long600);
  std::string lines = "one\ntwo\n" + std::string(1500, 'z') + "\nend";
  write(path("lines"), lines);
  EXPECT_EQ(take(readFile(path("lines").c_str(), "r")), lines);
  EXPECT_EQ(readFile(path("missing").c_str(), "r"), nullptr);
  EXPECT_EQ(readFile(nullptr, "r"), nullptr);
  EXPECT_EQ(readFile(path("long").c_str(), nullptr), nullptr);
  EXPECT_EQ(readFile(path("long").c_str(), ""), nullptr);
  // A write mode would truncate the file: refused.
  EXPECT_EQ(readFile(path("long").c_str(), "w"), nullptr);
  EXPECT_EQ(take(readFile(path("long").c_str(), "rb")), long600);
}

TEST_F(TempDir, ExistDeleteCopy) {
  write(path("a"), "content");
  EXPECT_TRUE(isFileExist(path("a").c_str()));
  EXPECT_TRUE(isFileExist(dir_.c_str()));
  EXPECT_FALSE(isFileExist(path("b").c_str()));
  EXPECT_FALSE(isFileExist(nullptr));

  EXPECT_TRUE(Halvorant_CopyFile(path("a").c_str(), path("b").c_str()));
  EXPECT_EQ(take(readFile(path("b").c_str(), "r")), "content");
  write(path("a"), "newer");
  EXPECT_TRUE(Halvorant_CopyFile(path("a").c_str(), path("b").c_str()));  // replaces
  EXPECT_EQ(take(readFile(path("b").c_str(), "r")), "newer");
  // Paths are plain arguments: shell syntax in them is just part of a name.
  std::string odd = path("x $(touch pwned); >out");
  EXPECT_TRUE(Halvorant_CopyFile(path("a").c_str(), odd.c_str()));
  EXPECT_EQ(take(readFile(odd.c_str(), "r")), "newer");
  EXPECT_FALSE(isFileExist("pwned"));
  EXPECT_FALSE(isFileExist(path("out").c_str()));
  // Failures are reported as failures.
  EXPECT_FALSE(Halvorant_CopyFile(path("missing").c_str(), path("c").c_str()));
  EXPECT_FALSE(Halvorant_CopyFile(path("a").c_str(), path("no/such/dir").c_str()));
  EXPECT_FALSE(Halvorant_CopyFile(dir_.c_str(), path("c").c_str()));
  EXPECT_FALSE(Halvorant_CopyFile(nullptr, path("c").c_str()));
  EXPECT_FALSE(Halvorant_CopyFile(path("a").c_str(), nullptr));

  EXPECT_TRUE(deleteFile(path("b").c_str()));
  EXPECT_FALSE(isFileExist(path("b").c_str()));
  EXPECT_FALSE(deleteFile(path("b").c_str()));
  EXPECT_FALSE(deleteFile(dir_.c_str()));
  EXPECT_FALSE(deleteFile(nullptr));
}

TEST(Paths, TrimExecutablePath) {
  const std::pair<const char*, const char*> cases[] = {
      {"/Users/a/./bin/prog", "/Users/a"},
      {"/Applications/X.app/Contents/MacOS/prog", "/Applications/X.app/Contents/MacOS"},
      {"/prog", "/prog"},
      {"/usr/bin/", "/usr/bin"},
      {"noslash", "noslash"},
  };
  for (const auto& c : cases) {
    char buffer[128];
    ArrayCopy(buffer, sizeof buffer, c.first);
    trimExecutablePath(buffer);
    EXPECT_STREQ(buffer, c.second) << c.first;
  }
}

TEST(Paths, ExecuteAndCopyPath) {
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  std::string directory(self);
  directory = directory.substr(0, directory.rfind('/'));
  EXPECT_EQ(take(getExecutePath()), directory);

  EXPECT_EQ(take(getCopyPath(nullptr)), "/tmp");
  EXPECT_STREQ(CopyPathBuffer, "/tmp");
  EXPECT_EQ(take(getCopyPath("NoxHalvorant")), "/tmp/NoxHalvorant");
  EXPECT_STREQ(CopyPathBuffer, "/tmp/NoxHalvorant");
}

TEST(Library, FreeLibrary) {
  EXPECT_TRUE(CP_FreeLibrary(nullptr));
  void* library = dlopen("libm.so.6", RTLD_NOW);
  ASSERT_NE(library, nullptr);
  EXPECT_TRUE(CP_FreeLibrary(library));
}

}  // namespace
