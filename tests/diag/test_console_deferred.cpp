// Console output modes: the same bytes whether lines are flushed one by one or held and
// flushed together; held lines leave at flushConsole or by themselves after the hold time,
// never twice through fork, and stay whole when threads print at once.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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

const std::string kBold = "\033[1m";
const std::string kReset = "\033[0m";
const std::string kGreen = "\033[32m";
const std::string kYellow = "\033[33m";

// Deferred mode is chosen before the first output to stdout, as the service does. The
// deferred cases therefore run in a fresh copy of this program that switches it on
// before gtest prints anything; the copy's exit status carries their outcome.
const char kChildVariable[] = "NOX_CONSOLE_DEFERRED_CHILD";
const bool g_deferredChild = getenv(kChildVariable) != nullptr && setConsoleDeferred(true);

// Runs the current test in the deferred copy; its output is shown when it fails.
void runInDeferredChild() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  char pattern[] = "/tmp/nox_console_child_XXXXXX";
  int out = mkstemp(pattern);
  ASSERT_GE(out, 0);
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    setenv(kChildVariable, "1", 1);
    execl("/proc/self/exe", "/proc/self/exe", filter.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  std::string text;
  if (FILE* in = fopen(pattern, "rb")) {
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, in)) > 0;) text.append(buffer, n);
    fclose(in);
  }
  unlink(pattern);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(text.find("[  PASSED  ] 1 test"), std::string::npos) << text;
}

time_t g_now = 1796486083;  // 2026-12-05 15:54:43 UTC
time_t fixedClock() { return g_now; }

std::string line(const std::string& stamp, const std::string& label, const std::string& colour,
                 const std::string& value) {
  return kBold + stamp + kReset + kBold + label + kReset + colour + value + kReset + "\n";
}

// Standard output sent to a temporary file whose content can be read at any moment.
class ConsoleModes : public ::testing::Test {
 protected:
  void SetUp() override {
    if (deferredCase() && !g_deferredChild) return;  // the copy does the work
    setenv("TZ", "UTC", 1);
    tzset();
    g_now = 1796486083;
    setHalvorantClock(fixedClock);
    ArrayCopy(PrefixName, sizeof PrefixName, "NoxHalvorant");
    ASSERT_TRUE(out_.start());
    started_ = true;
  }
  void TearDown() override {
    if (!started_) return;
    setConsoleDeferred(false);
    const std::string text = written();
    out_.stop();
    // The failure messages went to the same file as the lines.
    if (HasFailure()) fprintf(stderr, "%s\n", text.c_str());
    setHalvorantClock(nullptr);
    PrefixName[0] = '\0';
  }
  std::string written() const { return out_.written(); }
  // A fixed set of lines of several kinds, a long one among them.
  static void printSample() {
    printfColorLine("Host: ", "localhost:54469");
    printfColorWarningLine("Empty origin: ", "null");
    g_now += 1;  // the next second: a fresh stamp
    printfColorLine("Count: ", -42);
    printfColorLine("Long: ", std::string(3000, 'v').c_str());  // longer than one line buffer
    printfColorNormalLine("L ", "v", 2);                         // deeper: no stamp
  }
  static std::string sampleText() {
    const std::string first = "[2026-12-05 15:54:43]";
    const std::string second = "[2026-12-05 15:54:44]";
    return line(first, "[NoxHalvorant][Normal] Host: ", kGreen, "localhost:54469") +
           line(first, "[NoxHalvorant][Warning] Empty origin: ", kYellow, "null") +
           line(second, "[NoxHalvorant][Normal] Count: ", kGreen, "-42") +
           line(second, "[NoxHalvorant][Normal] Long: ", kGreen, std::string(3000, 'v')) + kBold + "L " +
           kReset + kGreen + "v" + kReset + "\n";
  }

  virtual bool deferredCase() const { return false; }

  noxtest::StdoutFile out_;
  bool started_ = false;
};

class DeferredConsole : public ConsoleModes {
 protected:
  bool deferredCase() const override { return true; }
};

// Polls until done() holds, at most ten seconds: the bound is for a stuck console, not a
// measure of its speed.
template <typename Done>
bool waitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

#define RUN_DEFERRED()     \
  if (!g_deferredChild) {  \
    runInDeferredChild();  \
    return;                \
  }

TEST_F(ConsoleModes, ImmediateLinesAreWrittenAsPrinted) {
  printSample();
  EXPECT_EQ(written(), sampleText());
}

TEST_F(DeferredConsole, LinesWaitForFlushAndKeepTheirBytes) {
  RUN_DEFERRED();
  printSample();
  // The warning line left at once, with the line held before it; the rest waits.
  const std::string stamp = "[2026-12-05 15:54:43]";
  EXPECT_EQ(written(), line(stamp, "[NoxHalvorant][Normal] Host: ", kGreen, "localhost:54469") +
                           line(stamp, "[NoxHalvorant][Warning] Empty origin: ", kYellow, "null"));
  flushConsole();
  EXPECT_EQ(written(), sampleText());
  printfColorLine("Host: ", "x");
  ASSERT_TRUE(setConsoleDeferred(false));  // switching back flushes
  EXPECT_EQ(written(), sampleText() + line("[2026-12-05 15:54:44]", "[NoxHalvorant][Normal] Host: ", kGreen, "x"));
  printfColorLine("Host: ", "y");  // and lines are written as printed again
  EXPECT_EQ(written(), sampleText() + line("[2026-12-05 15:54:44]", "[NoxHalvorant][Normal] Host: ", kGreen, "x") +
                           line("[2026-12-05 15:54:44]", "[NoxHalvorant][Normal] Host: ", kGreen, "y"));
}

// Warning and error lines explain a crash: they leave at once, whatever the hold time.
TEST_F(DeferredConsole, WarningAndErrorLinesLeaveAtOnce) {
  RUN_DEFERRED();
  const std::string stamp = "[2026-12-05 15:54:43]";
  const std::string a = line(stamp, "[NoxHalvorant][Normal] A: ", kGreen, "1");
  const std::string e = line(stamp, "[NoxHalvorant][Error] E: ", "\033[31m", "2");
  const std::string b = line(stamp, "[NoxHalvorant][Normal] B: ", kGreen, "3");
  const std::string w = line(stamp, "[NoxHalvorant][Warning] W: ", kYellow, "4");
  printfColorLine("A: ", "1");
  EXPECT_EQ(written(), "");
  printfColorErrorLine("E: ", 2);
  EXPECT_EQ(written(), a + e);
  printfColorLine("B: ", "3");
  EXPECT_EQ(written(), a + e);
  printfColorWarningLine("W: ", "4");
  EXPECT_EQ(written(), a + e + b + w);
  printfColorErrorLine("", "deep", 1);  // the members with an explicit depth too
  EXPECT_EQ(written(), a + e + b + w + kBold + kReset + "\033[31m" + "deep" + kReset + "\n");
}

// Nobody calls flushConsole here: the console's timer writes held lines about 100 ms after
// the oldest came, all in one batch, and then sleeps without a deadline.
TEST_F(DeferredConsole, HeldLinesLeaveByThemselves) {
  RUN_DEFERRED();
  const std::string stamp = "[2026-12-05 15:54:43]";
  const std::string a = line(stamp, "[NoxHalvorant][Normal] A: ", kGreen, "1");
  const std::string b = line(stamp, "[NoxHalvorant][Normal] B: ", kGreen, "2");
  const std::string c = line(stamp, "[NoxHalvorant][Normal] C: ", kGreen, "3");
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "timer started by the line" : "timer woken from its sleep");
    const std::string before = written();
    const auto printed = std::chrono::steady_clock::now();
    printfColorLine("A: ", "1");
    printfColorLine("B: ", "2");
    printfColorLine("C: ", "3");
    ASSERT_TRUE(waitUntil([&] { return written().size() > before.size(); }));
    const auto waited = std::chrono::steady_clock::now() - printed;
    EXPECT_EQ(written(), before + a + b + c);  // together, none left behind
    // Held, not written one by one (the clock the hold time is read from is coarse).
    EXPECT_GE(waited, std::chrono::milliseconds(kHoldMs - 10));
    ASSERT_TRUE(waitUntil([] {
      ConsoleTimerState state = consoleTimerState();
      return state.started && !state.armed && state.heldSinceMs == 0;
    })) << "the timer keeps a deadline with nothing held";
  }
}

// The deadline follows the oldest held line, not the newest: a steady trickle of lines
// cannot keep them all back.
TEST_F(DeferredConsole, TheOldestHeldLineSetsTheDeadline) {
  RUN_DEFERRED();
  printfColorLine("A: ", "1");
  const int64_t oldest = consoleTimerState().heldSinceMs;
  ASSERT_NE(oldest, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // later on the coarse clock too
  printfColorLine("B: ", "2");
  ASSERT_TRUE(waitUntil([] {
    ConsoleTimerState state = consoleTimerState();
    return state.armed || state.heldSinceMs == 0;
  }));
  const ConsoleTimerState state = consoleTimerState();
  if (written().empty()) {  // else a slow machine let the timer write A before B came
    EXPECT_EQ(state.heldSinceMs, oldest);
    EXPECT_EQ(state.deadlineMs, oldest + kHoldMs);
  }
  flushConsole();
}

TEST_F(DeferredConsole, ForkedChildDoesNotRepeatHeldLines) {
  RUN_DEFERRED();
  printSample();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) exit(0);  // exit() flushes the child's copy of stdout's buffer
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  flushConsole();
  EXPECT_EQ(written(), sampleText());
}

// A child of a threaded process must not start threads: the timer is not there, and the
// child's lines leave as they come, without a flush or exit's (_exit skips it).
TEST_F(DeferredConsole, ForkedChildWritesItsLinesAtOnce) {
  RUN_DEFERRED();
  printfColorLine("Parent: ", "1");
  const std::string parent = line("[2026-12-05 15:54:43]", "[NoxHalvorant][Normal] Parent: ", kGreen, "1");
  ASSERT_TRUE(waitUntil([&] { return written() == parent; }));  // the parent's timer runs
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    printfColorLine("Child: ", "2");
    _exit(consoleTimerState().started ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child started a timer";
  EXPECT_EQ(written(), parent + line("[2026-12-05 15:54:43]", "[NoxHalvorant][Normal] Child: ", kGreen, "2"));
}

// Text other code prints through stdio (an adapter's printf) keeps its place among the
// lines in either mode, and the whole-line members write what the primitive writes.
void printMixed() {
  printfColorLine("A: ", "1");
  printf("adapter says %d\n", 1);
  printfColorTextLine(COLOR_BOLD, "== rule ==");
  printf("partial ");
  printfRawLine("library line");
  printfColorLine("B: ", "2");
  printf("tail\n");
  flushConsole();
}

std::string mixedText() {
  const std::string stamp = "[2026-12-05 15:54:43]";
  return line(stamp, "[NoxHalvorant][Normal] A: ", kGreen, "1") + "adapter says 1\n" + kBold + "== rule ==" + kReset +
         "\n" + "partial " + "library line\n" + line(stamp, "[NoxHalvorant][Normal] B: ", kGreen, "2") + "tail\n";
}

TEST_F(ConsoleModes, StdioTextKeepsItsPlace) {
  printMixed();
  EXPECT_EQ(written(), mixedText());
}

TEST_F(DeferredConsole, StdioTextKeepsItsPlace) {
  RUN_DEFERRED();
  printMixed();
  EXPECT_EQ(written(), mixedText());
}

// The library's lines leave at once like warnings; the rest waits for the flush.
TEST_F(DeferredConsole, RawLinesLeaveAtOnce) {
  RUN_DEFERRED();
  printfColorTextLine(COLOR_BOLD, "held");
  EXPECT_EQ(written(), "");
  printfRawLine("now");
  EXPECT_EQ(written(), kBold + "held" + kReset + "\n" + "now\n");
}

TEST_F(DeferredConsole, ThreadsKeepTheirLinesWholeAndInOrder) {
  RUN_DEFERRED();
  constexpr int kThreads = 4;
  constexpr int kLines = 2000;  // several buffers' worth
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string label = "T" + std::to_string(t) + ": ";
      for (int i = 0; i < kLines; ++i) {
        // Values of varying length, so buffer ends fall anywhere.
        std::string value = std::to_string(i) + std::string(static_cast<size_t>(i % 97), 'x');
        printfColorLine(label.c_str(), value.c_str());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  flushConsole();

  static const std::regex whole("\033\\[1m\\[2026-12-05 15:54:43\\]\033\\[0m\033\\[1m\\[NoxHalvorant\\]\\[Normal\\] "
                                "T([0-9]): \033\\[0m\033\\[32m([0-9]+)(x*)\033\\[0m");
  int next[kThreads] = {0};
  std::string text = written();
  size_t start = 0;
  int lines = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    std::string one = text.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(one, m, whole)) << "torn line " << lines << ": " << one;
    int t = std::stoi(m[1]);
    int i = std::stoi(m[2]);
    ASSERT_EQ(i, next[t]) << "thread " << t;
    ASSERT_EQ(m[3].length(), static_cast<size_t>(i % 97));
    ++next[t];
  }
  EXPECT_EQ(start, text.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

}  // namespace
