// Rate-limited lines: the first shows at once, the rest of its second is counted, and the
// count shows by itself when the second is over; every line is accounted for.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag/Console.h"
#include "diag/ConsoleSink.h"
#include "diag/StdoutFile.h"
#include "util/Tool.h"

namespace {

time_t fixedClock() { return 1796486083; }  // 2026-12-05 15:54:43 UTC

// Standard output sent to a temporary file that can be read at any moment, plain lines.
class RateLimited : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    setHalvorantClock(fixedClock);
    setConsoleColour(false);
    ArrayCopy(PrefixName, sizeof PrefixName, "NoxHalvorant");
    ASSERT_TRUE(out_.start());
  }
  void TearDown() override {
    const std::string text = written();
    out_.stop();
    if (HasFailure()) fprintf(stderr, "%s\n", text.c_str());
    setConsoleColour(true);
    setHalvorantClock(nullptr);
    PrefixName[0] = '\0';
  }
  std::string written() const { return out_.written(); }
  std::string fresh() { return out_.fresh(); }

  noxtest::StdoutFile out_;
};

std::string stamped(const std::string& text) { return "[2026-12-05 15:54:43]" + text + "\n"; }

// Far from the monotonic clock's present: the real timer never finds these times due, the
// test runs the timer's step itself.
constexpr int64_t kT = int64_t{1} << 50;

TEST_F(RateLimited, OneLineASecondThenTheCount) {
  // Static: a record stays in the console's queue until its count has shown.
  static RateLimitedLine illegal{kRateLimitedWarning, "Illegal connection ip: ", "refused"};
  static RateLimitedLine refused{kRateLimitedError, "Connection refused: ", "refused"};
  static RateLimitedLine library{kRateLimitedLibrary, "", "library messages"};
  const std::string w = "[NoxHalvorant][Warning] Illegal connection ip: ";
  struct Step {
    RateLimitedLine* line;  // null: the timer's step at `at`
    int64_t at;
    const char* value;
    std::string shown;
  };
  const Step steps[] = {
      {&illegal, kT, "a", stamped(w + "a")},  // the first: at once
      {&illegal, kT + 10, "b", ""},           // counted
      {&refused, kT + 20, "x", stamped("[NoxHalvorant][Error] Connection refused: x")},  // its own second
      {&library, kT + 30, "lib 1", "lib 1\n"},
      {&library, kT + 40, "lib 2", ""},
      {&library, kT + 50, "lib 3", ""},
      {&illegal, kT + 999, "c", ""},
      {nullptr, kT + 999, nullptr, ""},  // not yet due
      {nullptr, kT + 1000, nullptr, stamped(w + "c (1 more refused in the last second)")},
      {nullptr, kT + 1030, nullptr, "lib 3 (1 more library messages in the last second)\n"},
      {&illegal, kT + 1500, "d", ""},  // the count began a second of its own
      {nullptr, kT + 2000, nullptr, stamped(w + "d")},  // one line alone: no count
      {nullptr, kT + 5000, nullptr, ""},                // nothing waits
      {&illegal, kT + 5000, "e", stamped(w + "e")},     // after a quiet second: at once
      {&refused, kT + 5000, "y", stamped("[NoxHalvorant][Error] Connection refused: y")},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::to_string(step.at - kT) + (step.value != nullptr ? std::string(" ") + step.value : " timer"));
    if (step.line != nullptr)
      printfRateLimitedLineAt(step.line, step.value, step.at);
    else
      runRateLimitTimer(step.at, false);
    EXPECT_EQ(fresh(), step.shown);
  }
}

// A real flood from several threads, nobody but the console's timer showing the counts:
// about one line a second, and the counts add up to every line printed.
TEST_F(RateLimited, FloodFromThreadsIsCountedToTheLastLine) {
  static RateLimitedLine flood{kRateLimitedWarning, "Illegal connection ip: ", "refused"};
  constexpr int kThreads = 4;
  constexpr int kLines = 5000;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) printfRateLimitedLine(&flood, (std::to_string(t) + "." + std::to_string(i)).c_str());
    });
  for (std::thread& thread : threads) thread.join();

  static const std::regex shown(
      R"(\[[^\]]*\]\[NoxHalvorant\]\[Warning\] Illegal connection ip: [0-9]+\.[0-9]+( \(([0-9]+) more refused in the last second\))?)");
  long accounted = 0;
  size_t lines = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (accounted < kThreads * kLines && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    accounted = 0;
    lines = 0;
    const std::string text = written();
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1, ++lines) {
      std::smatch m;
      const std::string one = text.substr(at, end - at);
      ASSERT_TRUE(std::regex_match(one, m, shown)) << one;
      accounted += 1 + (m[2].matched ? std::stol(m[2]) : 0);
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // Nothing is due; this only takes the records' lock once the timer's last count has
  // shown, so the fixture's clean-up comes after the timer's last read.
  runRateLimitTimer(consoleSteadyMs(), false);
  EXPECT_EQ(accounted, kThreads * kLines);
  // The first line, then at most one a second.
  EXPECT_LE(static_cast<double>(lines), 2 + seconds) << lines << " lines in " << seconds << " s";
}

// Counts still waiting at a normal exit are shown then.
TEST_F(RateLimited, WaitingCountShowsAtExit) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    static RateLimitedLine line{kRateLimitedNormal, "Refused: ", "refused"};
    for (const char* value : {"1", "2", "3"}) printfRateLimitedLine(&line, value);
    exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(written(), stamped("[NoxHalvorant][Normal] Refused: 1") +
                           stamped("[NoxHalvorant][Normal] Refused: 3 (1 more refused in the last second)"));
}

}  // namespace
