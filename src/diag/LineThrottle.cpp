// Rate-limited lines: at most one line a second per record, then the count of the others,
// shown by the console's timer when the second is over.
#include <algorithm>
#include <cstdio>
#include <mutex>

#include "diag/Console.h"
#include "diag/ConsoleSink.h"
#include "diag/qzlog.h"
#include "util/Base.h"

namespace {

constexpr int64_t kWindowMs = 1000;

// Guards every record and the queue of records whose count waits. Taken before the file
// log's and the sink's locks (lines are printed under it only by the timer).
std::mutex g_throttleLock;
RateLimitedLine* g_due = nullptr;

void show(const RateLimitedLine& line, const char* value) {
  switch (line.kind) {
    case kRateLimitedLibrary:
      qzlog(5, 0, "%s", value);
      printfRawLine(value);
      break;
    case kRateLimitedWarning:
      printfColorWarningLine(line.label, value);
      break;
    case kRateLimitedError:
      printfColorErrorLine(line.label, value);
      break;
    default:
      printfColorLine(line.label, value);
      break;
  }
}

}  // namespace

void printfRateLimitedLineAt(RateLimitedLine* line, const char* value, int64_t nowMs) {
  if (line == nullptr) return;
  if (value == nullptr) value = "";
  {
    std::lock_guard<std::mutex> guard(g_throttleLock);
    // A count still waiting keeps the order: this line joins it.
    const bool quiet = line->shownMs == 0 || nowMs - line->shownMs >= kWindowMs;
    if (line->held != 0 || !quiet) {
      copyBounded(line->last, sizeof line->last, value);
      if (++line->held == 1) {
        line->nextDue = g_due;
        g_due = line;
        consoleWakeBy(line->shownMs + kWindowMs);
      }
      return;
    }
    line->shownMs = nowMs;
  }
  show(*line, value);
}

void printfRateLimitedLine(RateLimitedLine* line, const char* value) {
  printfRateLimitedLineAt(line, value, consoleSteadyMs());
}

void runRateLimitTimer(int64_t nowMs, bool all) {
  std::lock_guard<std::mutex> guard(g_throttleLock);
  int64_t next = 0;
  for (RateLimitedLine** link = &g_due; *link != nullptr;) {
    RateLimitedLine* line = *link;
    const int64_t due = line->shownMs + kWindowMs;
    if (!all && nowMs < due) {
      next = next == 0 ? due : std::min(next, due);
      link = &line->nextDue;
      continue;
    }
    *link = line->nextDue;
    line->nextDue = nullptr;
    const unsigned long others = line->held - 1;
    line->held = 0;
    // The count is a line of its own: the next second starts with it.
    line->shownMs = nowMs;
    if (others == 0) {
      show(*line, line->last);
      continue;
    }
    char text[sizeof line->last + 96];
    snprintf(text, sizeof text, "%s (%lu more %s in the last second)", line->last, others, line->what);
    show(*line, text);
  }
  if (next != 0) consoleWakeBy(next);
}
