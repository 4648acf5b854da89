// Console lines, the colour primitive and the log switch.
#include "diag/Console.h"

#include <pthread.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diag/qzlog.h"
#include "util/Base.h"
#include "util/ResultCodes.h"

char PrefixName[64] = {0};
std::atomic<bool> isLogEnable{false};
std::mutex Print_Lock;

namespace {

const char kReset[] = "\033[0m";
const char kBold[] = "\033[1m";
const char kNormalTag[64] = "[Normal]";
const char kWarningTag[64] = "[Warning]";
const char kErrorTag[64] = "[Error]";
const char kTimeFormat[] = "[%d-%s-%s %s:%s:%s]";

// Set while the allocation-failure lines are being printed, so that a failure inside
// them cannot recurse.
thread_local bool t_inMemoryFail = false;

// ---- Output mode ----
// Deferred: lines collect in stdout's buffer and leave with one write at the next
// flushConsole(), when the buffer is full, with the first line written 100 ms or more
// after the oldest held one, or with a warning or error line, which must not be lost
// with a crash or a kill right after it.
constexpr int64_t kHoldMs = 100;
std::atomic<bool> g_deferred{false};
std::atomic<int64_t> g_heldSince{0};  // steady ms of the oldest held line; 0: none held
char g_stdoutBuffer[1 << 16];

// Read for every held line; a coarse clock (a few ms) is plenty for the hold time and
// much cheaper to read.
int64_t steadyMs() {
  int64_t ms = 0;
#if defined(CLOCK_MONOTONIC_COARSE)
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0) {
    ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  } else
#endif
  {
    using namespace std::chrono;
    ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  return ms != 0 ? ms : 1;  // 0 means "nothing held"
}

// A child made by fork() must not inherit held lines: it would write them again at exit.
void flushBeforeFork() {
  if (g_deferred.load()) flushConsole();
}

// Caller holds the stdout lock.
void lineWritten(bool urgent) {
  if (urgent || !g_deferred.load(std::memory_order_relaxed)) {
    fflush(stdout);
    g_heldSince.store(0, std::memory_order_relaxed);
    return;
  }
  int64_t now = steadyMs();
  int64_t since = g_heldSince.load(std::memory_order_relaxed);
  if (since == 0) {
    g_heldSince.store(now, std::memory_order_relaxed);
  } else if (now - since >= kHoldMs) {
    fflush(stdout);
    g_heldSince.store(0, std::memory_order_relaxed);
  }
}

// Caller holds the stdout lock. A held line never straddles two writes: when it does not
// fit beside what is held, what is held leaves first.
void writeLine(const char* text, size_t length) {
#if defined(__GLIBC__)
  if (g_deferred.load(std::memory_order_relaxed) && __fpending(stdout) + length > __fbufsize(stdout)) {
    fflush(stdout);
    g_heldSince.store(0, std::memory_order_relaxed);
  }
#endif
  fwrite(text, 1, length, stdout);
}

// ---- Line text ----
// One line is assembled here and written in one piece; a line that does not fit is
// written fragment by fragment instead, with the same bytes.
constexpr size_t kLineCapacity = 1024;

struct LineText {
  char text[kLineCapacity];
  size_t length = 0;
  bool overflow = false;
};

void putRaw(LineText* line, const char* text) {
  size_t size = strlen(text);
  if (line->overflow || size > kLineCapacity - line->length) {
    line->overflow = true;
    return;
  }
  memcpy(line->text + line->length, text, size);
  line->length += size;
}

// Label and value texts: controls from outside are shown, not obeyed.
void put(LineText* line, const char* text) {
  if (!needsEscape(text)) {
    putRaw(line, text);
    return;
  }
  putRaw(line, escapeControls(text).c_str());
}

// The time stamp text of the second now, formatted once per second and thread.
// A zone change (tzset) shows from the next second on.
struct StampCache {
  time_t second = 0;
  bool valid = false;
  char text[64] = {0};
};
thread_local StampCache t_stamp;

const char* stampText(time_t now) {
  if (!t_stamp.valid || t_stamp.second != now) {
    t_stamp.valid = formatLocalTime(t_stamp.text, sizeof t_stamp.text, kTimeFormat, now);
    t_stamp.second = now;
  }
  return t_stamp.text;
}

// "%d" without the printf machinery.
void formatNumber(char (&out)[64], int value) {
  char digits[16];
  int count = 0;
  unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  size_t at = 0;
  if (value < 0) out[at++] = '-';
  while (count > 0) out[at++] = digits[--count];
  out[at] = '\0';
}

// Off: every sequence is the empty text, so the lines carry plain text only.
std::atomic<bool> g_colour{true};

const char* reset() { return g_colour.load(std::memory_order_relaxed) ? kReset : ""; }

const char* colourSequence(int colour) {
  if (!g_colour.load(std::memory_order_relaxed)) return "";
  switch (colour) {
    case COLOR_RED_4:
    case COLOR_RED:
      return "\033[31m";
    case COLOR_GREEN:
    case COLOR_GREEN_138:
      return "\033[32m";
    case COLOR_YELLOW:
      return "\033[33m";
    case COLOR_BOLD:
      return kBold;
    default:
      return kReset;
  }
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// "[prefix][Kind] label", then the line core at depth 0. The label is built on the
// stack; only an unusually long one needs the heap.
void kindLine(const char* tag, const char* label, int colour, const char* value) {
  label = orEmpty(label);
  const size_t prefixSize = strnlen(PrefixName, sizeof PrefixName - 1);
  const size_t tagSize = strlen(tag);
  const size_t labelSize = strlen(label);
  size_t size = prefixSize + tagSize + labelSize + 5;
  char local[512];
  char* full = local;
  if (size > sizeof local) {
    full = static_cast<char*>(calloc(1, size));
    if (full == nullptr) {
      HALVORANT_MEMORY_FAIL();
      return;
    }
  }
  // "[%s]%s %s" of prefix, tag and label.
  char* at = full;
  *at++ = '[';
  memcpy(at, PrefixName, prefixSize);
  at += prefixSize;
  *at++ = ']';
  memcpy(at, tag, tagSize);
  at += tagSize;
  *at++ = ' ';
  memcpy(at, label, labelSize);
  at[labelSize] = '\0';
  printfColorLine(full, colour, value, 0);
  if (full != local) free(full);
}

void kindLine(const char* tag, const char* label, int colour, int value) {
  char number[64];
  formatNumber(number, value);
  kindLine(tag, label, colour, number);
}

}  // namespace

// ---- Output mode -----------------------------------------------------------------------

void setConsoleColour(bool on) { g_colour.store(on); }

bool setConsoleDeferred(bool deferred) {
  if (!deferred) {
    flushConsole();
    g_deferred.store(false);
    return true;
  }
  if (g_deferred.load()) return true;
  if (setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer) != 0) return false;
  static const bool forkHook = pthread_atfork(flushBeforeFork, nullptr, nullptr) == 0;
  if (!forkHook) return false;
  g_deferred.store(true);
  return true;
}

void flushConsole() {
  flockfile(stdout);
  fflush(stdout);
  g_heldSince.store(0, std::memory_order_relaxed);
  funlockfile(stdout);
}

// ---- Escaping -------------------------------------------------------------------------

bool needsEscape(const char* text) {
  if (text == nullptr) return false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p < 0x20 || *p == 0x7F) return true;
    if (*p == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) return true;
  }
  return false;
}

std::string escapeControls(const char* text) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  if (text == nullptr) return out;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    unsigned char c = *p;
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 0x0F];
    } else if (c == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F) {
      ++p;
      out += "\\u00";
      out += digits[*p >> 4];
      out += digits[*p & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// ---- Primitive -------------------------------------------------------------------------

void printfColor(int colour, const char* text, int depth) {
  fputs(colourSequence(colour), stdout);
  if (text == nullptr) return;
  if (needsEscape(text)) {
    fputs(escapeControls(text).c_str(), stdout);
  } else {
    fputs(text, stdout);
  }
  fputs(reset(), stdout);
  if (depth == 0) qzlog(5, 0, "%s", text);
}

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

void printfColor(int colour, int number, int depth) {
  char buffer[64];
  formatNumber(buffer, number);
  printfColor(colour, buffer, depth);
}

void printfColor(int colour, int number) {
  std::lock_guard<std::mutex> guard(Print_Lock);
  printfColor(colour, number, 0);
}

// ---- Line core -------------------------------------------------------------------------

void printfColorLine(const char* label, int colour, const char* value, int depth) {
  label = orEmpty(label);
  value = orEmpty(value);
  if (depth == 0) qzlog(5, 0, "%s%s", label, value);
  const char* stamp = depth == 0 ? stampText(halvorantNow()) : nullptr;
  LineText line;
  if (stamp != nullptr) {
    putRaw(&line, colourSequence(COLOR_BOLD));
    putRaw(&line, stamp);
    putRaw(&line, reset());
  }
  putRaw(&line, colourSequence(COLOR_BOLD));
  put(&line, label);
  putRaw(&line, reset());
  putRaw(&line, colourSequence(colour));
  put(&line, value);
  putRaw(&line, reset());
  putRaw(&line, "\n");
  // The stdout lock over the whole line keeps lines of different threads whole.
  flockfile(stdout);
  if (!line.overflow) {
    writeLine(line.text, line.length);
  } else {
    if (stamp != nullptr) printfColor(COLOR_BOLD, stamp, 1);
    printfColor(COLOR_BOLD, label, depth + 1);
    printfColor(colour, value, depth + 1);
    fputc('\n', stdout);
  }
  lineWritten(colour == COLOR_YELLOW || colour == COLOR_RED || colour == COLOR_RED_4);
  funlockfile(stdout);
}

void printfColorLine(const char* label, int colour, const char* value) {
  std::lock_guard<std::mutex> guard(Print_Lock);
  printfColorLine(label, colour, value, 0);
}

// A fresh text the caller releases with freeMem (which is free).
char* getTime() {
  char text[64];
  formatLocalTime(text, sizeof text, kTimeFormat, halvorantNow());
  char* copy = static_cast<char*>(calloc(1, strlen(text) + 1));
  if (copy == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  memcpy(copy, text, strlen(text));
  return copy;
}

// ---- Line family -----------------------------------------------------------------------

void printfColorLine(const char* label, const char* value) { kindLine(kNormalTag, label, COLOR_GREEN, value); }
void printfColorLine(const char* label, int value) { kindLine(kNormalTag, label, COLOR_GREEN, value); }
void printfColorWarningLine(const char* label, const char* value) { kindLine(kWarningTag, label, COLOR_YELLOW, value); }
void printfColorWarningLine(const char* label, int value) { kindLine(kWarningTag, label, COLOR_YELLOW, value); }
void printfColorErrorLine(const char* label, const char* value) { kindLine(kErrorTag, label, COLOR_RED, value); }
void printfColorErrorLine(const char* label, int value) { kindLine(kErrorTag, label, COLOR_RED, value); }

void printfColorNormalLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_GREEN, value, depth);
}
void printfColorNormalLine(const char* label, int value, int depth) {
  char number[64];
  formatNumber(number, value);
  printfColorLine(label, COLOR_GREEN, number, depth);
}
void printfColorWarningLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_YELLOW, value, depth);
}
void printfColorWarningLine(const char* label, int value, int depth) {
  char number[64];
  formatNumber(number, value);
  printfColorLine(label, COLOR_YELLOW, number, depth);
}
void printfColorErrorLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_RED, value, depth);
}
void printfColorErrorLine(const char* label, int value, int depth) {
  char number[64];
  formatNumber(number, value);
  printfColorLine(label, COLOR_RED, number, depth);
}

// ---- State helpers ---------------------------------------------------------------------

void showNormalState(const char* label, bool state, const char* trueText, const char* falseText) {
  printfColorLine(label, orEmpty(state ? trueText : falseText));
}

void showWarningState(const char* label, bool state, const char* trueText, const char* falseText) {
  if (state)
    printfColorLine(label, orEmpty(trueText));
  else
    printfColorWarningLine(label, orEmpty(falseText));
}

void showErrorState(const char* label, bool state, const char* trueText, const char* falseText) {
  if (state)
    printfColorLine(label, orEmpty(trueText));
  else
    printfColorErrorLine(label, orEmpty(falseText));
}

void showErrorState(const char* label, bool state, int trueNumber, int falseNumber) {
  if (state)
    printfColorLine(label, trueNumber);
  else
    printfColorErrorLine(label, falseNumber);
}

void printfWarning(const char* label, bool condition, const char* value) {
  if (condition) printfColorWarningLine(label, value);
}

// ---- Shared diagnostics ----------------------------------------------------------------

void printfNullParameter(const char* name, const char* source, int line) {
  char text[512];
  snprintf(text, sizeof text, "Parameter %s is null at %s %d", orEmpty(name), orEmpty(source), line);
  printfColorWarningLine("", text);
}

void printfMemoryFail(const char* source, int line) {
  if (t_inMemoryFail) return;
  t_inMemoryFail = true;
  // Labels on the stack: the heap has just failed.
  char label[256];
  snprintf(label, sizeof label, "[%s]%s %s", PrefixName, kErrorTag, "Memory allocate fail at file: ");
  printfColorLine(label, COLOR_RED, orEmpty(source), 0);
  char number[64];
  snprintf(number, sizeof number, "%d", line);
  snprintf(label, sizeof label, "[%s]%s %s", PrefixName, kErrorTag, "Memory allocate fail at line: ");
  printfColorLine(label, COLOR_RED, number, 0);
  t_inMemoryFail = false;
}

// ---- Log switch ------------------------------------------------------------------------

namespace {
char logSearchRoot[256] = "/tmp";
}  // namespace

void setLogSearchRoot(const char* root) { copyBounded(logSearchRoot, sizeof logSearchRoot, root ? root : "/tmp"); }

bool setLog(const char* inputLogName, const char* inputPrefixName) {
  if (isLogEnable.load()) return true;
  int code = kResult_UNAVAILABLE;
  if (inputLogName == nullptr) HALVORANT_NULL_WARNING("inputLogName");
  if (inputPrefixName == nullptr) HALVORANT_NULL_WARNING("inputPrefixName");
  if (inputLogName != nullptr && inputPrefixName != nullptr) {
    copyBounded(PrefixName, sizeof PrefixName, inputPrefixName);
    char target[512];
    copyBounded(target, sizeof target, inputLogName);
    appendBounded(target, sizeof target, ".ini");
    char searchPath[512];
    copyBounded(searchPath, sizeof searchPath, logSearchRoot);
    appendBounded(searchPath, sizeof searchPath, "/");
    appendBounded(searchPath, sizeof searchPath, inputLogName);
    appendBounded(searchPath, sizeof searchPath, "/");
    appendBounded(searchPath, sizeof searchPath, target);
    printfColorLine("inputLogName: ", inputLogName);
    printfColorLine("Log search path: ", searchPath);
    printfColorLine("Log search target: ", target);
    // Settings are read only from a directory of this user that nobody else may write:
    // whoever plants them there would steer the log (the caller reports the directory).
    if (isInPrivateDirectory(searchPath)) {
      code = qzlog_init(inputLogName, searchPath);
      qzlog(5, 0, "%s %d %s Compile Time : %s %s", HALVORANT_SOURCE, __LINE__, "setLog", __DATE__, __TIME__);
    }
  }
  isLogEnable.store(code == 0);
  showNormalState("Log state: ", isLogEnable.load(), "Enable", "Disable");
  return isLogEnable.load();
}

void noLog() {
  printfColorLine("Log state: ", "Disable");
  isLogEnable.store(false);
  qzlog_initialize(nullptr, 0);
}
