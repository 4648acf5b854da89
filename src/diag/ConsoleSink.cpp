// The console's output sink (held buffer, flushing, output mode) and its timer thread.
#include "diag/ConsoleSink.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <new>

#include "diag/Console.h"

namespace {

enum TimerState : int {
  kTimerNone,      // no thread in this process
  kTimerStarting,  // being started; it looks at the deadlines before it first sleeps
  kTimerBusy,      // awake, or woken: it looks at the deadlines before it sleeps again
  kTimerIdle,      // asleep without a deadline
  kTimerArmed,     // asleep until armedUntil
};

struct Sink {
  std::mutex lock;
  bool deferred = false;
  bool forkedChild = false;  // a child made by fork(): no timer, lines leave as they come
  size_t length = 0;      // bytes held
  int64_t heldSince = 0;  // consoleSteadyMs of the oldest held line; 0: none held
  int timer = kTimerNone;
  // The timer thread runs outside the sink lock: while it starts, and while it prints
  // rate-limited counts. A fork waits for it to be back (see beforeFork).
  bool timerOutside = false;
  int64_t armedUntil = 0;  // the armed timer's deadline
  int64_t wakeBy = 0;      // rate-limited counts due then; 0: none
  uint64_t wakeups = 0;
  char held[1 << 16] = {};
};
// Constant-initialised (in .bss): lines printed by other static initialisers find it ready.
Sink g_sink;

// The timer sleeps on this. Made in place and never destroyed: the thread still waits on it
// while the process exits.
alignas(std::condition_variable) unsigned char g_wakeStorage[sizeof(std::condition_variable)];
std::condition_variable* g_wake = nullptr;
// A fork waits on this for the timer to come back under the sink lock; made like g_wake.
alignas(std::condition_variable) unsigned char g_backStorage[sizeof(std::condition_variable)];
std::condition_variable* g_back = nullptr;

// Caller holds the sink lock.
void timerBack() {
  g_sink.timerOutside = false;
  if (g_back != nullptr) g_back->notify_all();
}

// Text other code prints with stdio (adapters, libraries) collects here in deferred mode,
// and leaves in its place among the lines (see syncStdio).
char g_stdoutBuffer[1 << 13];

// What the descriptor refuses (closed, full pipe in non-blocking mode) is dropped, as
// stdio would.
void writeAll(const char* text, size_t size) {
  while (size > 0) {
    ssize_t n = write(STDOUT_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<size_t>(n);
  }
}

// Caller holds the sink lock.
void writeHeld() {
  writeAll(g_sink.held, g_sink.length);
  g_sink.length = 0;
  g_sink.heldSince = 0;
}

// Caller holds the sink lock. Text that other code left in stdio's buffer was printed
// after everything held and before what comes now: it leaves in between.
void syncStdio() {
#if defined(__GLIBC__)
  if (__fpending(stdout) == 0) return;
  writeHeld();
  fflush(stdout);
#endif
  // Elsewhere stdio's pending text cannot be seen cheaply: it leaves at the next flush.
}

// Caller holds the sink lock. A held line never straddles two writes: when it does not
// fit beside what is held, what is held leaves first (only a line longer than the whole
// buffer is written in parts).
void makeRoom(size_t size) {
  if (size > sizeof g_sink.held - g_sink.length) writeHeld();
}

void flushLocked() {
  writeHeld();
#if defined(__GLIBC__)
  if (__fpending(stdout) == 0) return;
#endif
  fflush(stdout);
}

// What a writer must do for the timer once it has let go of the sink lock.
enum TimerAction { kTimerNothing, kTimerNotify, kTimerStart };

// Caller holds the sink lock: something needs the timer by dueMs.
TimerAction timerNeededBy(int64_t dueMs) {
  if (g_sink.forkedChild) return kTimerNothing;
  switch (g_sink.timer) {
    case kTimerNone:
      if (g_wake == nullptr) g_wake = new (g_wakeStorage) std::condition_variable;
      if (g_back == nullptr) g_back = new (g_backStorage) std::condition_variable;
      g_sink.timer = kTimerStarting;
      g_sink.timerOutside = true;
      return kTimerStart;
    case kTimerIdle:
      g_sink.timer = kTimerBusy;
      return kTimerNotify;
    case kTimerArmed:
      if (dueMs >= g_sink.armedUntil) return kTimerNothing;
      g_sink.timer = kTimerBusy;
      return kTimerNotify;
    default:
      return kTimerNothing;
  }
}

// Caller holds the sink lock; the bytes are in `held`. Urgent or immediate: they leave now.
// Deferred: the first held line sets the hold time going.
TimerAction afterAppend(bool urgent) {
  if (urgent || !g_sink.deferred || g_sink.forkedChild) {
    writeHeld();
    return kTimerNothing;
  }
  if (g_sink.heldSince != 0) return kTimerNothing;  // the timer already has a deadline
  g_sink.heldSince = consoleSteadyMs();
  return timerNeededBy(g_sink.heldSince + kHoldMs);
}

// ---- Timer thread ----

// The clock the timer's waits run on, in milliseconds.
int64_t waitClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void* timerMain(void*) {
  std::unique_lock<std::mutex> lock(g_sink.lock);
  timerBack();
  for (;;) {
    // consoleSteadyMs is never ahead of this clock: a deadline read here has come.
    const int64_t now = waitClockMs();
    if (g_sink.heldSince != 0 && now >= g_sink.heldSince + kHoldMs) flushLocked();
    if (g_sink.wakeBy != 0 && now >= g_sink.wakeBy) {
      g_sink.wakeBy = 0;
      g_sink.timer = kTimerBusy;
      g_sink.timerOutside = true;
      lock.unlock();  // the counts are printed as lines, which take the sink lock
      runRateLimitTimer(now, false);
      lock.lock();
      timerBack();
      continue;
    }
    int64_t deadline = INT64_MAX;
    if (g_sink.heldSince != 0) deadline = g_sink.heldSince + kHoldMs;
    if (g_sink.wakeBy != 0) deadline = std::min(deadline, g_sink.wakeBy);
    std::condition_variable& wake = *g_wake;
    if (deadline == INT64_MAX) {
      g_sink.timer = kTimerIdle;
      g_sink.armedUntil = 0;
      wake.wait(lock);
    } else {
      g_sink.timer = kTimerArmed;
      g_sink.armedUntil = deadline;
      // Capped so a far deadline (a test clock, a clock jump) cannot overflow the
      // library's conversion to nanoseconds; the loop works out the rest.
      constexpr int64_t kLongestWaitMs = int64_t{24} * 3600 * 1000;
      wake.wait_for(lock, std::chrono::milliseconds(std::min(deadline - now, kLongestWaitMs)));
    }
    ++g_sink.wakeups;
  }
  return nullptr;
}

// ---- Fork and exit ----

// A child made by fork() must not inherit held lines: it would write them again at exit.
// The lock is held across fork(), so the child's copy of it is free. The timer thread is
// not in the child, and a child of a threaded process must not start threads (it is to
// call exec or _exit): its lines leave as they come, and counts still waiting at its exit.
//
// A thread that is starting or allocating may hold locks of the memory allocator (a
// sanitizer's allocator is not fork-safe); the child would hang on them at its first
// allocation. So the fork waits until the timer is back under the sink lock: then it
// sleeps, or waits for that lock, and holds nothing else.
void beforeFork() {
  std::unique_lock<std::mutex> lock(g_sink.lock);
  if (g_back != nullptr) g_back->wait(lock, [] { return !g_sink.timerOutside; });
  lock.release();
  flushLocked();
}
void afterForkParent() { g_sink.lock.unlock(); }
void afterForkChild() {
  g_sink.length = 0;
  g_sink.heldSince = 0;
  g_sink.timer = kTimerNone;
  g_sink.timerOutside = false;
  g_sink.armedUntil = 0;
  g_sink.wakeBy = 0;
  g_sink.wakeups = 0;
  g_sink.forkedChild = true;
  g_sink.lock.unlock();
}

// Counts still waiting and held lines leave at a normal exit, ahead of what stdio holds
// (stdio is flushed after the exit handlers).
void flushAtExit() {
  runRateLimitTimer(consoleSteadyMs(), true);
  flushConsole();
}

// Registered once, outside the sink lock (fork() runs the handlers under the library's
// own lock, which registering takes too).
bool hooksInPlace() {
  static const bool done =
      pthread_atfork(beforeFork, afterForkParent, afterForkChild) == 0 && atexit(flushAtExit) == 0;
  return done;
}

void startTimer() {
  bool started = false;
  if (hooksInPlace()) {
    // The thread takes no signals: the service waits for its stop signals itself.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    started = pthread_create(&thread, &attributes, timerMain, nullptr) == 0;
    pthread_attr_destroy(&attributes);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  if (started) return;
  // Nothing may wait for a timer that is not there: held lines leave now, and the next one
  // held tries again.
  std::lock_guard<std::mutex> guard(g_sink.lock);
  g_sink.timer = kTimerNone;
  timerBack();
  flushLocked();
}

// After the sink lock is let go.
void act(TimerAction action, std::condition_variable* wake) {
  if (action == kTimerNotify)
    wake->notify_one();
  else if (action == kTimerStart)
    startTimer();
}

}  // namespace

// ---- Text under construction ----------------------------------------------------------

void putSlow(Out* out, const char* text, size_t size) {
  if (!out->streamed) {
    out->used = out->capacity;  // nothing more fits; need tells by how much
    return;
  }
  while (size > 0) {
    if (out->used == out->capacity) {
      writeAll(out->data, out->used);  // the held buffer, under the sink lock
      out->used = 0;
      g_sink.heldSince = 0;
    }
    size_t part = std::min(size, out->capacity - out->used);
    memcpy(out->data + out->used, text, part);
    out->used += part;
    text += part;
    size -= part;
  }
}

// ---- Sink --------------------------------------------------------------------------------

void sinkWrite(const char* text, size_t size, bool urgent) {
  TimerAction action;
  std::condition_variable* wake;
  {
    std::lock_guard<std::mutex> guard(g_sink.lock);
    syncStdio();
    makeRoom(size);
    memcpy(g_sink.held + g_sink.length, text, size);
    g_sink.length += size;
    action = afterAppend(urgent);
    wake = g_wake;
  }
  if (action != kTimerNothing) act(action, wake);
}

Out sinkStreamBegin(size_t need) {
  g_sink.lock.lock();
  syncStdio();
  makeRoom(need);
  return Out{g_sink.held, sizeof g_sink.held, g_sink.length, 0, true};
}

void sinkStreamEnd(const Out& out, bool urgent) {
  g_sink.length = out.used;
  TimerAction action = afterAppend(urgent);
  std::condition_variable* wake = g_wake;
  g_sink.lock.unlock();
  if (action != kTimerNothing) act(action, wake);
}

// ---- Timer -------------------------------------------------------------------------------

// Read once per deferred batch; a coarse clock (a few ms) is plenty for the hold time and
// much cheaper to read. Both clocks count from the same start, the coarse one lagging.
int64_t consoleSteadyMs() {
  int64_t ms = 0;
#if defined(CLOCK_MONOTONIC_COARSE)
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0) {
    ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  } else
#endif
  {
    ms = waitClockMs();
  }
  return ms != 0 ? ms : 1;  // 0 means "nothing"
}

void consoleWakeBy(int64_t dueMs) {
  TimerAction action;
  std::condition_variable* wake;
  {
    std::lock_guard<std::mutex> guard(g_sink.lock);
    g_sink.wakeBy = g_sink.wakeBy == 0 ? dueMs : std::min(g_sink.wakeBy, dueMs);
    action = timerNeededBy(dueMs);
    wake = g_wake;
  }
  if (action != kTimerNothing) act(action, wake);
}

ConsoleTimerState consoleTimerState() {
  std::lock_guard<std::mutex> guard(g_sink.lock);
  ConsoleTimerState state;
  state.started = g_sink.timer != kTimerNone;
  state.armed = g_sink.timer == kTimerArmed;
  state.deadlineMs = state.armed ? g_sink.armedUntil : 0;
  state.heldSinceMs = g_sink.heldSince;
  state.wakeups = g_sink.wakeups;
  return state;
}

// ---- Output mode -------------------------------------------------------------------------

bool setConsoleDeferred(bool deferred) {
  if (deferred && !hooksInPlace()) return false;
  std::lock_guard<std::mutex> guard(g_sink.lock);
  if (!deferred) {
    flushLocked();
    g_sink.deferred = false;
    return true;
  }
  if (g_sink.deferred) return true;
  // Fully buffered, stdio holds other code's text until the next line passes it on.
  if (setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer) != 0) return false;
  g_sink.deferred = true;
  return true;
}

void flushConsole() {
  std::lock_guard<std::mutex> guard(g_sink.lock);
  flushLocked();
}

void printfRawLine(const char* text) {
  text = text != nullptr ? text : "";
  const size_t size = strlen(text);
  sinkStream(size + 1, true, [&](Out* out) {
    put(out, text, size);
    put(out, "\n", 1);
  });
}
