// The log switch: prefix, search path lines, log state, and the file log mirror.
// One program of its own, since the file logger can be set up only once per process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "diag/Console.h"
#include "util/Tool.h"

namespace {

std::string capture(bool* result, const char* name, const char* prefix) {
  ::testing::internal::CaptureStdout();
  *result = setLog(name, prefix);
  return ::testing::internal::GetCapturedStdout();
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Runs in order: the switch failing, then succeeding, then a repeated call.
TEST(SetLog, OffThenOnThenRepeat) {
  const std::string name = "NoxConsoleTest" + std::to_string(getpid());
  const std::string dir = "/tmp/" + name;

  bool on = true;
  std::string out = capture(&on, nullptr, "X");
  EXPECT_FALSE(on);
  EXPECT_TRUE(contains(out, "Parameter inputLogName is null at Console.cpp"));
  EXPECT_TRUE(contains(out, "Log state: \033[0m\033[32mDisable"));

  // No settings file: the file log stays off, the prefix is set, lines go on.
  out = capture(&on, name.c_str(), "NoxHalvorant");
  EXPECT_FALSE(on);
  EXPECT_FALSE(isLogEnable.load());
  EXPECT_STREQ(PrefixName, "NoxHalvorant");
  EXPECT_TRUE(contains(out, "[NoxHalvorant][Normal] inputLogName: \033[0m\033[32m" + name));
  EXPECT_TRUE(contains(out, "Log search path: \033[0m\033[32m" + dir + "/" + name + ".ini"));
  EXPECT_TRUE(contains(out, "Log search target: \033[0m\033[32m" + name + ".ini"));
  EXPECT_TRUE(contains(out, "[NoxHalvorant][Normal] Log state: \033[0m\033[32mDisable"));

  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string logFile = dir + "/console.log";
  {
    std::ofstream ini(dir + "/" + name + ".ini");
    ini << "[" << name << "]\nLog File=" << logFile << "\nLog Level=5\n";
  }
  out = capture(&on, name.c_str(), "NoxHalvorant");
  EXPECT_TRUE(on);
  EXPECT_TRUE(contains(out, "Log state: \033[0m\033[32mEnable"));

  out = capture(&on, name.c_str(), "Other");
  EXPECT_TRUE(on);
  EXPECT_EQ(out, "");
  EXPECT_STREQ(PrefixName, "NoxHalvorant");

  ::testing::internal::CaptureStdout();
  printfColorLine("Mirror: ", "value");
  printfColor(COLOR_BOLD, "banner");
  noLog();
  printfColorLine("After: ", "off");
  out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(contains(out, "Log state: \033[0m\033[32mDisable"));
  EXPECT_FALSE(isLogEnable.load());

  // The log files carry a date in their name: gather everything in the directory.
  std::string logged;
  std::string list = dir + "/list.txt";
  std::string command = "cat " + dir + "/console*.log > " + list + " 2>/dev/null";
  ASSERT_EQ(system(command.c_str()), 0);
  logged = readAll(list);
  EXPECT_TRUE(contains(logged, "[NoxHalvorant][Normal] Mirror: value")) << logged;
  EXPECT_TRUE(contains(logged, "banner"));
  EXPECT_TRUE(contains(logged, "Console.cpp"));
  EXPECT_TRUE(contains(logged, "setLog Compile Time : "));
  EXPECT_FALSE(contains(logged, "After: "));
  EXPECT_FALSE(contains(logged, "\033["));  // no colours in the file

  command = "rm -rf '" + dir + "'";
  ASSERT_EQ(system(command.c_str()), 0);
}

}  // namespace
