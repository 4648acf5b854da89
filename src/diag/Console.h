// Console output and log switch.
//
// Every diagnostic is one line: a bold time stamp, a bold label "[Prefix][Kind] label"
// and a coloured value. The label and value also go to the file log (qzlog, level 5)
// when it is on. Console output itself is never switched off.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

// Colour codes for printfColor.
enum : int {
  COLOR_RED_4 = 4,
  COLOR_DEFAULT = 7,
  COLOR_GREEN = 10,
  COLOR_RED = 12,
  COLOR_YELLOW = 14,
  COLOR_BOLD = 15,
  COLOR_GREEN_138 = 138,
};

extern char PrefixName[64];
extern std::atomic<bool> isLogEnable;
extern std::mutex Print_Lock;

// Primitive: colour sequence, text, reset (when text is present); depth 0 also logs.
void printfColor(int colour, const char* text, int depth);
void printfColor(int colour, const char* text);
void printfColor(int colour, int number, int depth);
void printfColor(int colour, int number);  // takes Print_Lock
// The primitive as one whole line: colour sequence, text, reset, newline; no time stamp.
// The text goes to the file log.
void printfColorTextLine(int colour, const char* text);
// A finished text (no colours, no escaping, not logged) and a newline; it leaves at once
// in either output mode, in its place among the lines.
void printfRawLine(const char* text);

// Line core with a finished label.
void printfColorLine(const char* label, int colour, const char* value, int depth);
void printfColorLine(const char* label, int colour, const char* value);  // takes Print_Lock

// "[yyyy-mm-dd hh:mm:ss]" local time stamp; caller frees.
char* getTime();

// The line family.
void printfColorLine(const char* label, const char* value);
void printfColorLine(const char* label, int value);
void printfColorWarningLine(const char* label, const char* value);
void printfColorWarningLine(const char* label, int value);
void printfColorErrorLine(const char* label, const char* value);
void printfColorErrorLine(const char* label, int value);

// Lower-level members: finished label, explicit depth.
void printfColorNormalLine(const char* label, const char* value, int depth);
void printfColorNormalLine(const char* label, int value, int depth);
void printfColorWarningLine(const char* label, const char* value, int depth);
void printfColorWarningLine(const char* label, int value, int depth);
void printfColorErrorLine(const char* label, const char* value, int depth);
void printfColorErrorLine(const char* label, int value, int depth);

// State helpers.
void showNormalState(const char* label, bool state, const char* trueText, const char* falseText);
void showWarningState(const char* label, bool state, const char* trueText, const char* falseText);
void showErrorState(const char* label, bool state, const char* trueText, const char* falseText);
void showErrorState(const char* label, bool state, int trueNumber, int falseNumber);
void printfWarning(const char* label, bool condition, const char* value);

// Text from outside (pages, adapters, libraries) must not forge lines or steer the
// terminal: C0 controls and DEL become \n, \r, \t or \xHH, and the C1 controls
// U+0080..U+009F (UTF-8 C2 80..C2 9F) become \u00HH. Everything else is kept.
bool needsEscape(const char* text);
std::string escapeControls(const char* text);

// Log switch.
bool setLog(const char* inputLogName, const char* inputPrefixName);
void noLog();
// Test seam: the directory under which setLog looks for <name>/<name>.ini; "/tmp" when never
// set or set to null. Unit tests that start the session manager point it at their own
// directory, so they never read the settings file of a service test in /tmp/NoxHalvorant.
void setLogSearchRoot(const char* root);

// Output. Every line is formatted once on the printing thread and written with plain
// write calls on the standard output descriptor, under one lock: lines of different
// threads stay whole and in the order they were printed. Text that other code prints
// through stdio keeps its place among the lines (glibc; elsewhere it leaves at the next
// flush).
// Output mode. By default every line is written as it is printed. Deferred (chosen before
// the first output to stdout; false when stdout cannot be set up for it): lines collect
// whole and leave together, in one write, at flushConsole(), when the 64 KiB buffer is
// full, with a warning or error line (these leave at once), and otherwise by themselves
// about 100 ms after the oldest held line came: the console's own timer thread writes
// them, so nobody else needs to flush. The timer sleeps without a deadline while nothing
// is held. Held lines are also written before fork() (a child never repeats them; it
// writes its own lines as they come) and at exit. Same bytes, same order either way.
// Switching back flushes.
bool setConsoleDeferred(bool deferred);
// Writes out every held line (and anything else buffered on stdout) now, for example
// before an answer leaves. Nothing held and nothing buffered: no system call.
void flushConsole();
// Colour sequences on (the default) or off; off, the console gets the same lines as
// plain text. The file log never gets them either way.
void setConsoleColour(bool on);

// Lines a connecting peer can set off again and again (refused connections, the HTTP
// library's complaints about what clients sent) go through a RateLimitedLine, so that a
// flood cannot fill the console, the journal or the file log. The first line shows at
// once. For a second after a line of the record has shown, further ones are only counted;
// when that second is over the console itself shows the last of them, followed by
// " (N more <what> in the last second)" when N others were counted. A flood thus gives at
// most one line a second per record, and every line is accounted for. Counts still
// waiting are shown at exit. Thread-safe; records are global objects.
enum RateLimitedKind : int {
  kRateLimitedNormal,
  kRateLimitedWarning,
  kRateLimitedError,
  kRateLimitedLibrary,  // the text alone (printfRawLine) and its file log copy; no label
};
struct RateLimitedLine {
  constexpr RateLimitedLine(int lineKind, const char* lineLabel, const char* countWord)
      : kind(lineKind), label(lineLabel), what(countWord) {}
  const int kind;
  const char* const label;  // "Illegal connection ip: "
  const char* const what;   // "refused" gives " (5 more refused in the last second)"
  // Kept by the console under its own lock.
  int64_t shownMs = 0;                 // when the last line showed (monotonic ms); 0: never
  unsigned long held = 0;              // lines counted since
  RateLimitedLine* nextDue = nullptr;  // records whose count waits for the timer
  char last[1024] = {};                // the last counted line's value
};
void printfRateLimitedLine(RateLimitedLine* line, const char* value);

// The two shared diagnostics.
// Null-argument warning: warning line, empty label, "Parameter %s is null at %s %d".
void printfNullParameter(const char* name, const char* source, int line);
// Allocation-failure lines: "Memory allocate fail at file: " + source,
// "Memory allocate fail at line: " + line, both error lines.
void printfMemoryFail(const char* source, int line);

// Source module name (file name without its directory) for the two diagnostics.
constexpr const char* halvorantModuleName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}
#define HALVORANT_SOURCE (halvorantModuleName(__FILE__))
#define HALVORANT_NULL_WARNING(name) printfNullParameter((name), HALVORANT_SOURCE, __LINE__)
#define HALVORANT_MEMORY_FAIL() printfMemoryFail(HALVORANT_SOURCE, __LINE__)
