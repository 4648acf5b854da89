// Console line format on captured standard output: time stamp, labels, kind tags and
// colour sequences.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "diag/Console.h"
#include "util/Tool.h"

namespace {

const std::string kBold = "\033[1m";
const std::string kReset = "\033[0m";
const std::string kGreen = "\033[32m";
const std::string kYellow = "\033[33m";
const std::string kRed = "\033[31m";
const std::string kStamp = kBold + "[2026-12-05 15:54:43]" + kReset;

time_t fixedClock() { return 1796486083; }  // 2026-12-05 15:54:43 UTC

class ConsoleLines : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setHalvorantClock(fixedClock);
    ArrayCopy(PrefixName, sizeof PrefixName, "NoxHalvorant");
    ::testing::internal::CaptureStdout();
  }
  void TearDown() override {
    setHalvorantClock(nullptr);
    PrefixName[0] = '\0';
  }
  static std::string captured() { return ::testing::internal::GetCapturedStdout(); }
  static std::string line(const std::string& label, const std::string& colour, const std::string& value) {
    return kStamp + kBold + label + kReset + colour + value + kReset + "\n";
  }
};

TEST_F(ConsoleLines, FamilyMembers) {
  printfColorLine("Support port: ", "54469 54569 54669");
  printfColorLine("Count: ", 7);
  printfColorWarningLine("W: ", "careful");
  printfColorWarningLine("W: ", -3);
  printfColorErrorLine("E: ", "bad");
  printfColorErrorLine("Memory allocate fail at line: ", 926);
  EXPECT_EQ(captured(), line("[NoxHalvorant][Normal] Support port: ", kGreen, "54469 54569 54669") +
                            line("[NoxHalvorant][Normal] Count: ", kGreen, "7") +
                            line("[NoxHalvorant][Warning] W: ", kYellow, "careful") +
                            line("[NoxHalvorant][Warning] W: ", kYellow, "-3") +
                            line("[NoxHalvorant][Error] E: ", kRed, "bad") +
                            line("[NoxHalvorant][Error] Memory allocate fail at line: ", kRed, "926"));
}

// Controls in texts from outside are shown, never obeyed, in labels and values alike, also
// on the long path that writes a line in pieces; UTF-8 text stays as it is.
TEST_F(ConsoleLines, ControlsFromOutsideAreShownAsText) {
  struct Case {
    const char* in;
    const char* shown;
  };
  const Case cases[] = {
      {"a\nb\r\tc", "a\\nb\\r\\tc"},
      {"\x1b]52;c;eA==\x07", "\\x1b]52;c;eA==\\x07"},
      {"\x01\x1f\x7f", "\\x01\\x1f\\x7f"},
      {"csi \xc2\x9b" "2J nel \xc2\x85", "csi \\u009b2J nel \\u0085"},
      {"gr\xc3\xbc\xc3\x9f" "e \xc2\xa0\xe2\x82\xac", "gr\xc3\xbc\xc3\x9f" "e \xc2\xa0\xe2\x82\xac"},
      {"lone \xc2", "lone \xc2"},
  };
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(escapeControls(c.in), c.shown);
    EXPECT_EQ(needsEscape(c.in), std::string(c.in) != c.shown) << c.in;
    printfColorLine(c.in, c.in);
    expected += line(std::string("[NoxHalvorant][Normal] ") + c.shown, kGreen, c.shown);
  }
  const std::string longValue = std::string(1500, 'v') + "\n\x1b[2J";
  printfColorLine("Long: ", longValue.c_str());
  expected += line("[NoxHalvorant][Normal] Long: ", kGreen, std::string(1500, 'v') + "\\n\\x1b[2J");
  EXPECT_EQ(captured(), expected);
}

// Texts are searched for controls several bytes at a time: one at every position of a
// text, in the value and in the label, is still found.
TEST_F(ConsoleLines, ControlsAreFoundAtEveryPosition) {
  struct Case {
    const char* control;
    const char* shown;
  };
  const Case cases[] = {{"\n", "\\n"}, {"\x1f", "\\x1f"}, {"\x7f", "\\x7f"}, {"\xc2\x85", "\\u0085"}};
  std::string expected;
  for (const Case& c : cases) {
    for (size_t at = 0; at < 18; ++at) {
      const std::string text = std::string(at, 'a') + c.control + std::string(17 - at, 'b');
      const std::string shown = std::string(at, 'a') + c.shown + std::string(17 - at, 'b');
      printfColorLine("V: ", text.c_str());
      printfColorLine(text.c_str(), "v");
      expected += line("[NoxHalvorant][Normal] V: ", kGreen, shown) + line("[NoxHalvorant][Normal] " + shown, kGreen, "v");
    }
  }
  EXPECT_EQ(captured(), expected);
}

TEST_F(ConsoleLines, AbsentTextsAndEmptyPrefix) {
  PrefixName[0] = '\0';
  printfColorLine(nullptr, static_cast<const char*>(nullptr));
  printfColorLine("Main thread mode call start", "");
  EXPECT_EQ(captured(), line("[][Normal] ", kGreen, "") + line("[][Normal] Main thread mode call start", kGreen, ""));
}

TEST_F(ConsoleLines, LowerLevelMembersTakeFinishedLabels) {
  printfColorNormalLine("L ", "v", 0);
  printfColorNormalLine("L ", 5, 0);
  printfColorWarningLine("L ", "v", 0);
  printfColorErrorLine("L ", 1, 0);
  printfColorErrorLine("L ", "v", 2);  // deeper: no stamp
  printfColorLine("L ", COLOR_GREEN_138, "v");
  EXPECT_EQ(captured(), line("L ", kGreen, "v") + line("L ", kGreen, "5") + line("L ", kYellow, "v") +
                            line("L ", kRed, "1") + kBold + "L " + kReset + kRed + "v" + kReset + "\n" +
                            line("L ", kGreen, "v"));
}

TEST_F(ConsoleLines, ColourPrimitive) {
  struct Case {
    int colour;
    std::string sequence;
  };
  const Case cases[] = {{4, kRed},   {12, kRed},  {10, kGreen}, {138, kGreen}, {14, kYellow},
                        {15, kBold}, {7, kReset}, {0, kReset},  {99, kReset}};
  std::string expected;
  for (const Case& c : cases) {
    printfColor(c.colour, "t");
    expected += c.sequence + "t" + kReset;
  }
  printfColor(COLOR_GREEN, static_cast<const char*>(nullptr));  // sequence only
  expected += kGreen;
  printfColor(COLOR_YELLOW, 42);
  printfColor(COLOR_YELLOW, -1, 1);
  expected += kYellow + "42" + kReset + kYellow + "-1" + kReset;
  EXPECT_EQ(captured(), expected);
}

TEST_F(ConsoleLines, StateHelpers) {
  showNormalState("S: ", true, "on", "off");
  showNormalState("S: ", false, "on", "off");
  showWarningState("S: ", false, "on", "off");
  showErrorState("S: ", false, "on", nullptr);
  showErrorState("S: ", true, 1, 2);
  showErrorState("S: ", false, 1, 2);
  printfWarning("P: ", false, "hidden");
  printfWarning("P: ", true, "shown");
  EXPECT_EQ(captured(), line("[NoxHalvorant][Normal] S: ", kGreen, "on") +
                            line("[NoxHalvorant][Normal] S: ", kGreen, "off") +
                            line("[NoxHalvorant][Warning] S: ", kYellow, "off") +
                            line("[NoxHalvorant][Error] S: ", kRed, "") +
                            line("[NoxHalvorant][Normal] S: ", kGreen, "1") +
                            line("[NoxHalvorant][Error] S: ", kRed, "2") +
                            line("[NoxHalvorant][Warning] P: ", kYellow, "shown"));
}

TEST_F(ConsoleLines, SharedDiagnostics) {
  HALVORANT_NULL_WARNING("inputKey");
  int nullLine = __LINE__ - 1;
  printfMemoryFail("Json", 926);
  EXPECT_EQ(captured(),
            line("[NoxHalvorant][Warning] ", kYellow,
                 "Parameter inputKey is null at test_console.cpp " + std::to_string(nullLine)) +
                line("[NoxHalvorant][Error] Memory allocate fail at file: ", kRed, "Json") +
                line("[NoxHalvorant][Error] Memory allocate fail at line: ", kRed, "926"));
  EXPECT_STREQ(halvorantModuleName("a/b\\c/Tool.cpp"), "Tool.cpp");
}

TEST_F(ConsoleLines, TimeStampText) {
  char* stamp = getTime();
  EXPECT_STREQ(stamp, "[2026-12-05 15:54:43]");
  freeMem(stamp);
  captured();
}

}  // namespace
