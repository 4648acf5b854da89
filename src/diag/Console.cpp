// Console lines, the colour primitive and the log switch.
#include "diag/Console.h"

#include <pthread.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <stdio_ext.h>
#endif

#include <algorithm>
#include <cerrno>
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

// ---- Sink ----
// Every console byte goes through here, under one lock, with plain write calls on the
// standard output descriptor. Deferred: bytes collect in `held` and leave with one write
// at the next flushConsole(), when the buffer is full, with the first line written 100 ms
// or more after the oldest held one, or with a warning or error line, which must not be
// lost with a crash or a kill right after it. Immediate: each piece leaves at once.
constexpr int64_t kHoldMs = 100;

struct Sink {
  std::mutex lock;
  bool deferred = false;
  bool exitHook = false;
  size_t length = 0;     // bytes held
  int64_t heldSince = 0;  // steady ms of the oldest held line; 0: none held
  char held[1 << 16] = {};
};
// Constant-initialised (in .bss): lines printed by other static initialisers find it ready.
Sink g_sink;

// Text other code prints with stdio (adapters, libraries) collects here in deferred mode,
// and leaves in its place among the lines (see syncStdio).
char g_stdoutBuffer[1 << 13];

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

// Caller holds the sink lock; the bytes are in `held`. Deferred: the hold rules above.
void afterAppend(bool urgent) {
  if (urgent || !g_sink.deferred) {
    writeHeld();
    return;
  }
  int64_t now = steadyMs();
  if (g_sink.heldSince == 0) {
    g_sink.heldSince = now;
  } else if (now - g_sink.heldSince >= kHoldMs) {
    writeHeld();
  }
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

// A child made by fork() must not inherit held lines: it would write them again at exit.
// The lock is held across fork(), so the child's copy of it is free.
void beforeFork() {
  g_sink.lock.lock();
  flushLocked();
}
void afterForkParent() { g_sink.lock.unlock(); }
void afterForkChild() {
  g_sink.length = 0;
  g_sink.heldSince = 0;
  g_sink.lock.unlock();
}

// Held lines still leave at a normal exit, ahead of what stdio holds (stdio is flushed
// after the exit handlers).
void flushAtExit() { flushConsole(); }

// ---- Line text ----
// A line is formatted once, by hand, into a buffer on the printing thread's stack and
// handed to the sink whole. A line that does not fit is formatted a second time straight
// into the sink, under its lock (rare: long texts from outside).
constexpr size_t kLineCapacity = 2048;

struct Out {
  char* data;
  size_t capacity;
  size_t used;    // bytes in data
  size_t need;    // bytes the text needs: above capacity, it did not fit
  bool streamed;  // data is the sink's held buffer, written out when full
};

// Streamed, or the text does not fit: the sink's buffer is written out when full.
void putSlow(Out* out, const char* text, size_t size) {
  if (!out->streamed) {
    out->used = out->capacity;  // nothing more fits; need tells by how much
    return;
  }
  while (size > 0) {
    if (out->used == out->capacity) {
      writeAll(out->data, out->used);
      out->used = 0;
    }
    size_t part = std::min(size, out->capacity - out->used);
    memcpy(out->data + out->used, text, part);
    out->used += part;
    text += part;
    size -= part;
  }
}

inline void put(Out* out, const char* text, size_t size) {
  out->need += size;
  if (__builtin_expect(!out->streamed && size <= out->capacity - out->used, 1)) {
    memcpy(out->data + out->used, text, size);
    out->used += size;
    return;
  }
  putSlow(out, text, size);
}

inline void put(Out* out, const char* text) { put(out, text, strlen(text)); }

// Bytes shown as they are: everything but C0 controls, DEL and the lead byte 0xC2 (which
// starts a C1 control when the next byte is 80..9F). NUL ends the text.
struct PlainTable {
  bool plain[256];
  constexpr PlainTable() : plain() {
    for (int c = 0x20; c < 256; ++c) plain[c] = c != 0x7F && c != 0xC2;
  }
};
constexpr PlainTable kPlain;
const char kHex[] = "0123456789abcdef";

// Whether a word of eight bytes holds a byte below 0x20, 0x7F or 0xC2 (a lead byte that
// may start a C1 control: it sends the text the long way, which keeps it when it does not).
inline bool wordMayNeedEscape(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  auto hasZero = [](uint64_t v) { return ((v - kOnes) & ~v & kHigh) != 0; };
  const bool below = ((w - kOnes * 0x20) & ~w & kHigh) != 0;
  return below || hasZero(w ^ (kOnes * 0x7F)) || hasZero(w ^ (kOnes * 0xC2));
}

// Whether text[0, size) may need escaping, eight bytes at a time.
bool mayNeedEscape(const char* text, size_t size) {
  size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    uint64_t word;
    memcpy(&word, text + at, sizeof word);
    if (wordMayNeedEscape(word)) return true;
  }
  for (; at < size; ++at)
    if (!kPlain.plain[static_cast<unsigned char>(text[at])]) return true;
  return false;
}

inline char* copyTo(char* at, const char* text, size_t size) {
  memcpy(at, text, size);
  return at + size;
}

// Label and value texts: controls from outside are shown, not obeyed (escapeControls,
// written without a copy).
void putTextSlow(Out* out, const char* text);

// Common case first: the text fits even if every byte needed its longest escape (four
// bytes), so it is copied byte by byte without further checks.
void putText(Out* out, const char* text) {
  const size_t size = strlen(text);
  if (out->streamed || size > (out->capacity - out->used) / 4) {
    putTextSlow(out, text);
    return;
  }
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  char* const start = out->data + out->used;
  char* at = start;
  for (;;) {
    const unsigned char c = *p;
    if (kPlain.plain[c]) {
      *at++ = static_cast<char>(c);
      ++p;
      continue;
    }
    if (c == 0) break;
    at[0] = '\\';
    if (c == 0xC2) {
      if (p[1] < 0x80 || p[1] > 0x9F) {
        *at++ = static_cast<char>(c);
        ++p;
        continue;
      }
      at[1] = 'u';
      at[2] = '0';
      at[3] = '0';
      at[4] = kHex[p[1] >> 4];
      at[5] = kHex[p[1] & 0x0F];
      at += 6;
      p += 2;
      continue;
    }
    if (c == '\n' || c == '\r' || c == '\t') {
      at[1] = c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
      at += 2;
    } else {
      at[1] = 'x';
      at[2] = kHex[c >> 4];
      at[3] = kHex[c & 0x0F];
      at += 4;
    }
    ++p;
  }
  const size_t written = static_cast<size_t>(at - start);
  out->used += written;
  out->need += written;
}

void putTextSlow(Out* out, const char* text) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (;;) {
    const unsigned char* run = p;
    while (kPlain.plain[*p]) ++p;
    if (p != run) put(out, reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    const unsigned char c = *p;
    if (c == 0) return;
    char escape[6] = {'\\', 0, 0, 0, 0, 0};
    size_t size = 2;
    if (c == 0xC2) {
      if (p[1] < 0x80 || p[1] > 0x9F) {
        put(out, "\xC2", 1);
        ++p;
        continue;
      }
      ++p;
      escape[1] = 'u';
      escape[2] = '0';
      escape[3] = '0';
      escape[4] = kHex[*p >> 4];
      escape[5] = kHex[*p & 0x0F];
      size = 6;
    } else if (c == '\n') {
      escape[1] = 'n';
    } else if (c == '\r') {
      escape[1] = 'r';
    } else if (c == '\t') {
      escape[1] = 't';
    } else {
      escape[1] = 'x';
      escape[2] = kHex[c >> 4];
      escape[3] = kHex[c & 0x0F];
      size = 4;
    }
    put(out, escape, size);
    ++p;
  }
}

// "%d" without the printf machinery; the digits' length (at most 11).
size_t numberText(char (&out)[16], int value) {
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
  return at;
}

// The time stamp "[yyyy-mm-dd hh:mm:ss]" of the second now (kTimeFormat), formatted by
// hand once per second and thread: the local-time conversion runs once a second. A zone
// change (tzset) shows from the next second on. Without a local time the stamp reads
// "Unknow time", as getTime's does, and the conversion is tried again at the next line.
struct StampCache {
  time_t second = 0;
  bool valid = false;
  size_t length = 0;
  char text[32] = {0};
};
thread_local StampCache t_stamp;

void putTwoDigits(char* at, int value) {
  unsigned v = static_cast<unsigned>(value) % 100;
  at[0] = static_cast<char>('0' + v / 10);
  at[1] = static_cast<char>('0' + v % 10);
}

const StampCache& stampNow() {
  const time_t now = halvorantNow();
  if (t_stamp.valid && t_stamp.second == now) return t_stamp;
  struct tm local;
  t_stamp.second = now;
  t_stamp.valid = localtime_r(&now, &local) != nullptr;
  if (!t_stamp.valid) {
    static const char kUnknown[] = "Unknow time";
    memcpy(t_stamp.text, kUnknown, sizeof kUnknown);
    t_stamp.length = sizeof kUnknown - 1;
    return t_stamp;
  }
  char year[16];
  size_t at = 0;
  char* text = t_stamp.text;
  text[at++] = '[';
  size_t yearSize = numberText(year, local.tm_year + 1900);
  memcpy(text + at, year, yearSize);
  at += yearSize;
  const int parts[5] = {local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec};
  const char separators[5] = {'-', '-', ' ', ':', ':'};
  for (int i = 0; i < 5; ++i) {
    text[at++] = separators[i];
    putTwoDigits(text + at, parts[i]);
    at += 2;
  }
  text[at++] = ']';
  text[at] = '\0';
  t_stamp.length = at;
  return t_stamp;
}

// Off: every sequence is the empty text, so the lines carry plain text only.
std::atomic<bool> g_colour{true};

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
      return kBold;
    default:
      return kReset;
  }
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

bool urgentColour(int colour) { return colour == COLOR_YELLOW || colour == COLOR_RED || colour == COLOR_RED_4; }

// Formats with `format` (called with an Out) and hands the text to the sink; the file log
// gets its part first (logged(out) with the formatted text, or logFallback when the line
// did not fit the buffer).
// A finished line (at most kLineCapacity bytes) to the sink.
void emitText(const char* text, size_t size, bool urgent) {
  std::lock_guard<std::mutex> guard(g_sink.lock);
  syncStdio();
  makeRoom(size);
  memcpy(g_sink.held + g_sink.length, text, size);
  g_sink.length += size;
  afterAppend(urgent);
}

template <typename Format, typename Logged, typename LogFallback>
void emit(bool urgent, Format format, Logged logged, LogFallback logFallback) {
  char local[kLineCapacity];
  Out out{local, sizeof local, 0, 0, false};
  format(&out);
  if (out.need <= out.capacity) {
    logged(out);
    emitText(local, out.used, urgent);
    return;
  }
  logFallback();
  std::lock_guard<std::mutex> guard(g_sink.lock);
  syncStdio();
  makeRoom(out.need);
  Out streamed{g_sink.held, sizeof g_sink.held, g_sink.length, 0, true};
  format(&streamed);
  g_sink.length = streamed.used;
  afterAppend(urgent);
}

// The file log copy of label and value, taken from the formatted line (the same escaped
// text qzlog would make of the two). Escaping the two apart equals escaping them together
// unless the label ends in the first byte of a C1 control: then qzlog formats them itself.
struct LogSpans {
  size_t labelStart = 0, labelEnd = 0, valueStart = 0, valueEnd = 0;
};

void logLine(const Out& out, const LogSpans& spans, const char* label, const char* value) {
  const size_t labelSize = strlen(label);
  if (labelSize > 0 && static_cast<unsigned char>(label[labelSize - 1]) == 0xC2) {
    qzlog(5, 0, "%s%s", label, value);
    return;
  }
  qzlog_text(5, out.data + spans.labelStart, spans.labelEnd - spans.labelStart, out.data + spans.valueStart,
             spans.valueEnd - spans.valueStart);
}

// The line: [bold stamp reset] bold label reset colour value reset newline. With a tag,
// the label reads "[prefix][Kind] label". Depth 0 adds the stamp and the file log copy.
void lineCore(const char* tag, const char* label, int colour, const char* value, int depth) {
  label = orEmpty(label);
  value = orEmpty(value);
  const bool coloured = g_colour.load(std::memory_order_relaxed);
  const StampCache* stamp = depth == 0 ? &stampNow() : nullptr;
  const char* bold = coloured ? kBold : "";
  const char* reset = coloured ? kReset : "";
  const char* sequence = coloured ? colourSequence(colour) : "";
  const size_t boldSize = coloured ? sizeof kBold - 1 : 0;
  const size_t resetSize = coloured ? sizeof kReset - 1 : 0;
  const char* prefix = PrefixName;

  // Common case: nothing to escape and the line fits. Copied piece by piece, no checks.
  {
    const size_t labelSize = strlen(label);
    const size_t valueSize = strlen(value);
    const size_t prefixSize = tag != nullptr ? strnlen(prefix, sizeof PrefixName) : 0;
    const size_t tagSize = tag != nullptr ? strlen(tag) : 0;
    const size_t sequenceSize = strlen(sequence);
    const size_t size = (stamp != nullptr ? boldSize + stamp->length + resetSize : 0) + boldSize +
                        (tag != nullptr ? prefixSize + tagSize + 3 : 0) + labelSize + resetSize + sequenceSize +
                        valueSize + resetSize + 1;
    if (size <= kLineCapacity && !mayNeedEscape(label, labelSize) && !mayNeedEscape(value, valueSize) &&
        (tag == nullptr || !mayNeedEscape(prefix, prefixSize))) {
      char local[kLineCapacity];
      char* at = local;
      if (stamp != nullptr) {
        at = copyTo(at, bold, boldSize);
        at = copyTo(at, stamp->text, stamp->length);
        at = copyTo(at, reset, resetSize);
      }
      at = copyTo(at, bold, boldSize);
      const char* labelStart = at;
      if (tag != nullptr) {
        *at++ = '[';
        at = copyTo(at, prefix, prefixSize);
        *at++ = ']';
        at = copyTo(at, tag, tagSize);
        *at++ = ' ';
      }
      at = copyTo(at, label, labelSize);
      const char* labelEnd = at;
      at = copyTo(at, reset, resetSize);
      at = copyTo(at, sequence, sequenceSize);
      const char* valueStart = at;
      at = copyTo(at, value, valueSize);
      at = copyTo(at, reset, resetSize);
      *at++ = '\n';
      if (depth == 0)
        qzlog_text(5, labelStart, static_cast<size_t>(labelEnd - labelStart), valueStart, valueSize);
      emitText(local, static_cast<size_t>(at - local), urgentColour(colour));
      return;
    }
  }

  LogSpans spans;
  auto format = [&](Out* out) {
    if (stamp != nullptr) {
      put(out, bold, boldSize);
      put(out, stamp->text, stamp->length);
      put(out, reset, resetSize);
    }
    put(out, bold, boldSize);
    spans.labelStart = out->used;
    if (tag != nullptr) {
      put(out, "[", 1);
      putText(out, prefix);
      put(out, "]", 1);
      put(out, tag);
      put(out, " ", 1);
    }
    putText(out, label);
    spans.labelEnd = out->used;
    put(out, reset, resetSize);
    put(out, sequence);
    spans.valueStart = out->used;
    putText(out, value);
    spans.valueEnd = out->used;
    put(out, reset, resetSize);
    put(out, "\n", 1);
  };
  auto logged = [&](const Out& out) {
    if (depth != 0) return;
    if (tag == nullptr) {
      logLine(out, spans, label, value);
      return;
    }
    // The label the log sees is the whole "[prefix][Kind] label".
    const size_t labelSize = strlen(label);
    if (labelSize > 0 && static_cast<unsigned char>(label[labelSize - 1]) == 0xC2) {
      qzlog(5, 0, "[%s]%s %s%s", prefix, tag, label, value);
      return;
    }
    qzlog_text(5, out.data + spans.labelStart, spans.labelEnd - spans.labelStart, out.data + spans.valueStart,
               spans.valueEnd - spans.valueStart);
  };
  auto logFallback = [&] {
    if (depth != 0) return;
    if (tag == nullptr)
      qzlog(5, 0, "%s%s", label, value);
    else
      qzlog(5, 0, "[%s]%s %s%s", prefix, tag, label, value);
  };
  emit(urgentColour(colour), format, logged, logFallback);
}

// The primitive's text: colour sequence, then (text present) text and reset, then the
// newline when asked. Depth 0 sends the text to the file log.
void colourText(int colour, const char* text, int depth, bool newline) {
  const bool coloured = g_colour.load(std::memory_order_relaxed);
  LogSpans spans;
  auto format = [&](Out* out) {
    if (coloured) put(out, colourSequence(colour));
    if (text == nullptr) return;
    spans.valueStart = out->used;
    putText(out, text);
    spans.valueEnd = out->used;
    if (coloured) put(out, kReset, sizeof kReset - 1);
    if (newline) put(out, "\n", 1);
  };
  auto logged = [&](const Out& out) {
    if (depth == 0 && text != nullptr)
      qzlog_text(5, out.data + spans.valueStart, spans.valueEnd - spans.valueStart, nullptr, 0);
  };
  auto logFallback = [&] {
    if (depth == 0 && text != nullptr) qzlog(5, 0, "%s", text);
  };
  emit(false, format, logged, logFallback);
}

void kindLine(const char* tag, const char* label, int colour, const char* value) {
  lineCore(tag, label, colour, value, 0);
}

void kindLine(const char* tag, const char* label, int colour, int value) {
  char number[16];
  numberText(number, value);
  lineCore(tag, label, colour, number, 0);
}

}  // namespace

// ---- Output mode -----------------------------------------------------------------------

void setConsoleColour(bool on) { g_colour.store(on); }

bool setConsoleDeferred(bool deferred) {
  std::lock_guard<std::mutex> guard(g_sink.lock);
  if (!deferred) {
    flushLocked();
    g_sink.deferred = false;
    return true;
  }
  if (g_sink.deferred) return true;
  // Fully buffered, stdio holds other code's text until the next line passes it on.
  if (setvbuf(stdout, g_stdoutBuffer, _IOFBF, sizeof g_stdoutBuffer) != 0) return false;
  static const bool forkHook = pthread_atfork(beforeFork, afterForkParent, afterForkChild) == 0;
  if (!forkHook) return false;
  if (!g_sink.exitHook) g_sink.exitHook = atexit(flushAtExit) == 0;
  if (!g_sink.exitHook) return false;
  g_sink.deferred = true;
  return true;
}

void flushConsole() {
  std::lock_guard<std::mutex> guard(g_sink.lock);
  flushLocked();
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

void printfColor(int colour, const char* text, int depth) { colourText(colour, text, depth, false); }

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

void printfColorTextLine(int colour, const char* text) { colourText(colour, text, 0, true); }

void printfRawLine(const char* text) {
  text = orEmpty(text);
  const size_t size = strlen(text);
  std::lock_guard<std::mutex> guard(g_sink.lock);
  syncStdio();
  makeRoom(size + 1);
  Out streamed{g_sink.held, sizeof g_sink.held, g_sink.length, 0, true};
  put(&streamed, text, size);
  put(&streamed, "\n", 1);
  g_sink.length = streamed.used;
  afterAppend(true);
}

// ---- Line core -------------------------------------------------------------------------

void printfColorLine(const char* label, int colour, const char* value, int depth) {
  lineCore(nullptr, label, colour, value, depth);
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
