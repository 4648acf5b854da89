// Console lines, the colour primitive and the log switch.
#include "diag/Console.h"

#include <cstdio>
#include <cstring>

#include "diag/qzlog.h"
#include "util/Tool.h"
#include "util/ToolDetail.h"

char PrefixName[64] = {0};
std::atomic<bool> isLogEnable{false};
std::mutex Print_Lock;

namespace {

const char kReset[] = "\033[0m";
const char kNormalTag[64] = "[Normal]";
const char kWarningTag[64] = "[Warning]";
const char kErrorTag[64] = "[Error]";
const char kTimeFormat[] = "[%d-%s-%s %s:%s:%s]";

// Set while the allocation-failure lines are being printed, so that a failure inside
// them cannot recurse.
thread_local bool t_inMemoryFail = false;

const char* colourSequence(int colour) {
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
      return "\033[1m";
    default:
      return kReset;
  }
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

// "[prefix][Kind] label" into a fresh buffer, then the line core at depth 0.
void kindLine(const char* tag, const char* label, int colour, const char* value) {
  label = orEmpty(label);
  size_t size = strlen(PrefixName) + strlen(tag) + strlen(label) + 5;
  char* full = static_cast<char*>(newMemSize(size));
  if (full == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return;
  }
  snprintf(full, size, "[%s]%s %s", PrefixName, tag, label);
  printfColorLine(full, colour, value, 0);
  freeMem(full);
}

void kindLine(const char* tag, const char* label, int colour, int value) {
  char number[64];
  snprintf(number, sizeof number, "%d", value);
  kindLine(tag, label, colour, number);
}

}  // namespace

// ---- Primitive -------------------------------------------------------------------------

void printfColor(int colour, const char* text, int depth) {
  fputs(colourSequence(colour), stdout);
  if (text == nullptr) return;
  fputs(text, stdout);
  fputs(kReset, stdout);
  if (depth == 0) qzlog(5, 0, "%s", text);
}

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

void printfColor(int colour, int number, int depth) {
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%d", number);
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
  // One stdio lock over the whole line keeps lines of different threads whole. The
  // lock is recursive and nothing below takes another lock.
  flockfile(stdout);
  if (depth == 0) {
    char stamp[64];
    formatLocalTime(stamp, sizeof stamp, kTimeFormat, halvorantNow());
    printfColor(COLOR_BOLD, stamp, 1);
  }
  printfColor(COLOR_BOLD, label, depth + 1);
  printfColor(colour, value, depth + 1);
  fputc('\n', stdout);
  fflush(stdout);
  funlockfile(stdout);
}

void printfColorLine(const char* label, int colour, const char* value) {
  std::lock_guard<std::mutex> guard(Print_Lock);
  printfColorLine(label, colour, value, 0);
}

char* getTime() { return getTime(kTimeFormat); }

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
  snprintf(number, sizeof number, "%d", value);
  printfColorLine(label, COLOR_GREEN, number, depth);
}
void printfColorWarningLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_YELLOW, value, depth);
}
void printfColorWarningLine(const char* label, int value, int depth) {
  char number[64];
  snprintf(number, sizeof number, "%d", value);
  printfColorLine(label, COLOR_YELLOW, number, depth);
}
void printfColorErrorLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_RED, value, depth);
}
void printfColorErrorLine(const char* label, int value, int depth) {
  char number[64];
  snprintf(number, sizeof number, "%d", value);
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

bool setLog(const char* inputLogName, const char* inputPrefixName) {
  if (isLogEnable.load()) return true;
  int code = 61001;
  if (inputLogName == nullptr) HALVORANT_NULL_WARNING("inputLogName");
  if (inputPrefixName == nullptr) HALVORANT_NULL_WARNING("inputPrefixName");
  if (inputLogName != nullptr && inputPrefixName != nullptr) {
    ArrayCopy(PrefixName, sizeof PrefixName, inputPrefixName);
    char target[512];
    ArrayCopy(target, sizeof target, inputLogName);
    StringAppend(target, sizeof target, ".ini");
    char searchPath[512] = "/tmp/";
    StringAppend(searchPath, sizeof searchPath, inputLogName);
    StringAppend(searchPath, sizeof searchPath, "/");
    StringAppend(searchPath, sizeof searchPath, target);
    printfColorLine("inputLogName: ", inputLogName);
    printfColorLine("Log search path: ", searchPath);
    printfColorLine("Log search target: ", target);
    code = qzlog_init(inputLogName, searchPath);
    qzlog(5, 0, "%s %d %s Compile Time : %s %s", HALVORANT_SOURCE, __LINE__, "setLog", __DATE__, __TIME__);
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
