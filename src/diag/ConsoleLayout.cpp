// Line layout and escaping: every console line is laid out by one routine, into a buffer
// on the printing thread's stack, and handed to the sink whole.
#include "diag/ConsoleLayout.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "diag/Console.h"
#include "diag/ConsoleSink.h"
#include "diag/qzlog.h"
#include "util/Base.h"

namespace {

const char kReset[] = "\033[0m";
const char kBold[] = "\033[1m";

// A line that does not fit is laid out a second time straight into the sink, under its
// lock (rare: long texts from outside).
constexpr size_t kLineCapacity = 2048;

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

inline void put(Out* out, const char* text) { put(out, text, strlen(text)); }

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

bool urgentColour(int colour) { return colour == COLOR_YELLOW || colour == COLOR_RED || colour == COLOR_RED_4; }

// Hands a laid-out text to the sink; the file log gets its part first (logged(out) with
// the text laid out on the stack, or logFallback when it did not fit there and is laid out
// a second time, into the sink).
template <typename Layout, typename Logged, typename LogFallback>
void emit(bool urgent, Layout layout, Logged logged, LogFallback logFallback) {
  char local[kLineCapacity];
  Out out{local, sizeof local, 0, 0, false};
  layout(&out);
  if (out.need <= out.capacity) {
    logged(out);
    sinkWrite(local, out.used, urgent);
    return;
  }
  logFallback();
  sinkStream(out.need, urgent, layout);
}

// Where label and value lie in a text laid out on the stack: the file log copy is taken
// from there (the same escaped text qzlog would make of the two). Escaping the two apart
// equals escaping them together unless the label ends in the first byte of a C1 control:
// then qzlog formats them itself.
struct LogSpans {
  size_t labelStart = 0, labelEnd = 0, valueStart = 0, valueEnd = 0;
};

bool endsInC1Lead(const char* label) {
  const size_t size = strlen(label);
  return size > 0 && static_cast<unsigned char>(label[size - 1]) == 0xC2;
}

struct LineParts {
  const StampCache* stamp;  // null: no time stamp
  const char* tag;          // null: the label is finished
  size_t tagSize;
  const char* prefix;
  size_t prefixSize;
  const char* label;
  size_t labelSize;
  const char* value;
  size_t valueSize;
  const char* bold;
  size_t boldSize;
  const char* reset;
  size_t resetSize;
  const char* sequence;
  size_t sequenceSize;

  // Bytes of the line when no text needs escaping.
  size_t plainSize() const {
    return (stamp != nullptr ? boldSize + stamp->length + resetSize : 0) + boldSize +
           (tag != nullptr ? prefixSize + tagSize + 3 : 0) + labelSize + resetSize + sequenceSize + valueSize +
           resetSize + 1;
  }
  bool needsEscape() const {
    return mayNeedEscape(label, labelSize) || mayNeedEscape(value, valueSize) ||
           (tag != nullptr && mayNeedEscape(prefix, prefixSize));
  }
};

// Writers for the layout. Plain: the common case, a stack buffer known to be large enough
// and texts known to need no escaping, copied without a check. Checked: an Out, texts from
// outside escaped, and (streamed) any length.
struct PlainWriter {
  char* start;
  char* at;
  void put(const char* text, size_t size) {
    memcpy(at, text, size);
    at += size;
  }
  void text(const char* text, size_t size) { put(text, size); }
  size_t used() const { return static_cast<size_t>(at - start); }
};

struct CheckedWriter {
  Out* out;
  void put(const char* text, size_t size) { ::put(out, text, size); }
  void text(const char* text, size_t) { putText(out, text); }
  size_t used() const { return out->used; }
};

// The one layout of a line: [bold stamp reset] bold label reset colour value reset newline;
// with a tag, the label reads "[prefix][Kind] label".
template <typename Writer>
void layoutLine(Writer& out, const LineParts& line, LogSpans* spans) {
  if (line.stamp != nullptr) {
    out.put(line.bold, line.boldSize);
    out.put(line.stamp->text, line.stamp->length);
    out.put(line.reset, line.resetSize);
  }
  out.put(line.bold, line.boldSize);
  spans->labelStart = out.used();
  if (line.tag != nullptr) {
    out.put("[", 1);
    out.text(line.prefix, line.prefixSize);
    out.put("]", 1);
    out.put(line.tag, line.tagSize);
    out.put(" ", 1);
  }
  out.text(line.label, line.labelSize);
  spans->labelEnd = out.used();
  out.put(line.reset, line.resetSize);
  out.put(line.sequence, line.sequenceSize);
  spans->valueStart = out.used();
  out.text(line.value, line.valueSize);
  spans->valueEnd = out.used();
  out.put(line.reset, line.resetSize);
  out.put("\n", 1);
}

}  // namespace

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

void consoleLine(const char* tag, const char* label, int colour, const char* value, int depth) {
  label = orEmpty(label);
  value = orEmpty(value);
  const bool coloured = g_colour.load(std::memory_order_relaxed);
  const char* sequence = coloured ? colourSequence(colour) : "";
  const LineParts line{depth == 0 ? &stampNow() : nullptr,
                       tag,
                       tag != nullptr ? strlen(tag) : 0,
                       PrefixName,
                       tag != nullptr ? strnlen(PrefixName, sizeof PrefixName) : 0,
                       label,
                       strlen(label),
                       value,
                       strlen(value),
                       coloured ? kBold : "",
                       coloured ? sizeof kBold - 1 : 0,
                       coloured ? kReset : "",
                       coloured ? sizeof kReset - 1 : 0,
                       sequence,
                       strlen(sequence)};
  const bool urgent = urgentColour(colour);
  LogSpans spans;

  if (line.plainSize() <= kLineCapacity && !line.needsEscape()) {
    char local[kLineCapacity];
    PlainWriter out{local, local};
    layoutLine(out, line, &spans);
    if (depth == 0)
      qzlog_text(5, local + spans.labelStart, spans.labelEnd - spans.labelStart, local + spans.valueStart,
                 spans.valueEnd - spans.valueStart);
    sinkWrite(local, out.used(), urgent);
    return;
  }

  auto layout = [&](Out* out) {
    CheckedWriter writer{out};
    layoutLine(writer, line, &spans);
  };
  // The file log formats label and value itself: for a line too long for the stack, and
  // when escaping the two apart would differ from escaping them together.
  auto logFormatted = [&] {
    if (depth != 0) return;
    if (tag == nullptr)
      qzlog(5, 0, "%s%s", label, value);
    else
      qzlog(5, 0, "[%s]%s %s%s", PrefixName, tag, label, value);
  };
  auto logged = [&](const Out& out) {
    if (depth != 0) return;
    if (endsInC1Lead(label)) {
      logFormatted();
      return;
    }
    // With a tag, the label the log sees is the whole "[prefix][Kind] label".
    qzlog_text(5, out.data + spans.labelStart, spans.labelEnd - spans.labelStart, out.data + spans.valueStart,
               spans.valueEnd - spans.valueStart);
  };
  emit(urgent, layout, logged, logFormatted);
}

void consoleColourText(int colour, const char* text, int depth, bool newline) {
  const bool coloured = g_colour.load(std::memory_order_relaxed);
  LogSpans spans;
  auto layout = [&](Out* out) {
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
  emit(false, layout, logged, logFallback);
}

const char* orEmpty(const char* text) { return text != nullptr ? text : ""; }

void setConsoleColour(bool on) { g_colour.store(on); }

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
