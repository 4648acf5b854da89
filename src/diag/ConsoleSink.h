// Internal to src/diag/: no other module includes it.
// The console's output sink, and the console's timer.
//
// Every console byte goes through the sink, under one lock, with plain write calls on the
// standard output descriptor. Immediate mode: each line leaves as it comes. Deferred mode:
// lines collect whole in a 64 KiB buffer and leave together, in one write, at
// flushConsole(), when the buffer is full, with a warning or error line (urgent), or when
// the timer finds the oldest held line kHoldMs old.
//
// The timer is one thread of the console's own, started the first time something waits
// for it (a held line, a rate-limited line's count). It sleeps on a condition variable:
// with a deadline while something waits, without one otherwise, so an idle console wakes
// nobody. A child made by fork() starts no timer: its lines leave as they come.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

struct RateLimitedLine;

// How long a held line may wait for the timer.
constexpr int64_t kHoldMs = 100;

// ---- Text under construction ----
// A line is formatted into an Out: a buffer on the printing thread's stack, or (streamed)
// the sink's held buffer, which is written out whenever it is full.
struct Out {
  char* data;
  size_t capacity;
  size_t used;    // bytes in data
  size_t need;    // bytes the text needs: above capacity, it did not fit
  bool streamed;  // data is the sink's held buffer, written out when full
};

// The rare cases of put: streamed, or the text does not fit.
void putSlow(Out* out, const char* text, size_t size);

inline void put(Out* out, const char* text, size_t size) {
  out->need += size;
  if (__builtin_expect(!out->streamed && size <= out->capacity - out->used, 1)) {
    memcpy(out->data + out->used, text, size);
    out->used += size;
    return;
  }
  putSlow(out, text, size);
}

// ---- Sink ----
// A finished text (a whole line, at most the size of the held buffer) to the sink. Urgent
// text leaves at once, with everything held before it.
void sinkWrite(const char* text, size_t size, bool urgent);

// Formats a text of about `need` bytes straight into the sink, under its lock, for lines
// too long for a stack buffer: format(Out*) is called once with a streamed Out.
Out sinkStreamBegin(size_t need);
void sinkStreamEnd(const Out& out, bool urgent);
template <typename Format>
void sinkStream(size_t need, bool urgent, Format format) {
  Out out = sinkStreamBegin(need);
  format(&out);
  sinkStreamEnd(out, urgent);
}

// ---- Timer ----
// Milliseconds of a monotonic clock; never 0. Coarse (a few ms), cheap to read; never ahead
// of the clock the timer waits on.
int64_t consoleSteadyMs();
// Asks the timer to call runRateLimitTimer at or soon after dueMs (consoleSteadyMs time).
void consoleWakeBy(int64_t dueMs);

// ---- Rate-limited lines (LineThrottle.cpp) ----
// printfRateLimitedLine at a given time (consoleSteadyMs), for tests that choose it.
void printfRateLimitedLineAt(RateLimitedLine* line, const char* value, int64_t nowMs);
// Prints the counts that are due at nowMs (all of them when `all`) and asks the timer for
// the next one. Called by the timer thread without the sink lock, and at exit.
void runRateLimitTimer(int64_t nowMs, bool all);

// Test seam: what the timer is doing.
struct ConsoleTimerState {
  bool started;        // the thread runs in this process
  bool armed;          // it waits with a deadline (something is pending)
  int64_t deadlineMs;  // that deadline, consoleSteadyMs time; 0 when not armed
  int64_t heldSinceMs; // when the oldest held line came; 0 when none is held
  uint64_t wakeups;    // times the thread has woken since it started
};
ConsoleTimerState consoleTimerState();
