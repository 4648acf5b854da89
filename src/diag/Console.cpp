// Console lines: the public line family, its state helpers, the shared diagnostics and
// the log switch. Layout and escaping are in ConsoleLayout.cpp, output in ConsoleSink.cpp,
// lines a peer can repeat in LineThrottle.cpp.
#include "diag/Console.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/ConsoleLayout.h"
#include "diag/qzlog.h"
#include "util/Base.h"
#include "util/ResultCodes.h"

char PrefixName[64] = {0};
std::atomic<bool> isLogEnable{false};
std::mutex Print_Lock;

namespace {

const char kNormalTag[64] = "[Normal]";
const char kWarningTag[64] = "[Warning]";
const char kErrorTag[64] = "[Error]";
const char kTimeFormat[] = "[%d-%s-%s %s:%s:%s]";

// Set while the allocation-failure lines are being printed, so that a failure inside
// them cannot recurse.
thread_local bool t_inMemoryFail = false;

void kindLine(const char* tag, const char* label, int colour, const char* value) {
  consoleLine(tag, label, colour, value, 0);
}

void kindLine(const char* tag, const char* label, int colour, int value) {
  char number[16];
  numberText(number, value);
  consoleLine(tag, label, colour, number, 0);
}

}  // namespace

// ---- Primitive -------------------------------------------------------------------------

void printfColor(int colour, const char* text, int depth) { consoleColourText(colour, text, depth, false); }

void printfColor(int colour, const char* text) { printfColor(colour, text, 0); }

void printfColor(int colour, int number, int depth) {
  char buffer[16];
  numberText(buffer, number);
  printfColor(colour, buffer, depth);
}

void printfColor(int colour, int number) {
  std::lock_guard<std::mutex> guard(Print_Lock);
  printfColor(colour, number, 0);
}

void printfColorTextLine(int colour, const char* text) { consoleColourText(colour, text, 0, true); }

// ---- Line core -------------------------------------------------------------------------

void printfColorLine(const char* label, int colour, const char* value, int depth) {
  consoleLine(nullptr, label, colour, value, depth);
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
  char number[16];
  numberText(number, value);
  printfColorLine(label, COLOR_GREEN, number, depth);
}
void printfColorWarningLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_YELLOW, value, depth);
}
void printfColorWarningLine(const char* label, int value, int depth) {
  char number[16];
  numberText(number, value);
  printfColorLine(label, COLOR_YELLOW, number, depth);
}
void printfColorErrorLine(const char* label, const char* value, int depth) {
  printfColorLine(label, COLOR_RED, value, depth);
}
void printfColorErrorLine(const char* label, int value, int depth) {
  char number[16];
  numberText(number, value);
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
  // Nothing here allocates: the heap has just failed.
  kindLine(kErrorTag, "Memory allocate fail at file: ", COLOR_RED, orEmpty(source));
  kindLine(kErrorTag, "Memory allocate fail at line: ", COLOR_RED, line);
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
