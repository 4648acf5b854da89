// Internal to src/diag/: no other module includes it.
// Line layout and escaping. A line is laid out once, by one routine, into a buffer on the
// printing thread's stack, and handed to the sink (ConsoleSink.h) whole; texts from outside
// are escaped on the way (see escapeControls in Console.h).
#pragma once
#include <cstddef>

// The line: [bold stamp reset] bold label reset colour value reset newline. With a tag
// ("[Normal]", ...), the label reads "[prefix][Kind] label". Depth 0 adds the time stamp
// and the file log copy (label and value); warning and error colours leave at once.
void consoleLine(const char* tag, const char* label, int colour, const char* value, int depth);
// The primitive's text: colour sequence, then (text present) text and reset, then the
// newline when asked. Depth 0 sends the text to the file log.
void consoleColourText(int colour, const char* text, int depth, bool newline);

// "%d" without the printf machinery; the digits' length (at most 11).
size_t numberText(char (&out)[16], int value);
// Absent texts print as empty ones.
const char* orEmpty(const char* text);
