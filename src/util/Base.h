// The bottom of the common utilities: what the console needs and nothing that prints or
// allocates, so the diagnostics can sit on it and the rest of the utilities on them
// (platform <- base <- diag <- util). Tool.h includes this header: callers keep using it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

// Clock seam: every module takes "now" (seconds since the epoch) from halvorantNow().
// Tests may install a fixed clock; nullptr restores the system clock.
typedef time_t (*HalvorantClock)();
time_t halvorantNow();
void setHalvorantClock(HalvorantClock clock);

// Formats the local time of `now` like getTime(format) into out (capacity bytes).
// The format takes the year ("%d") and then five two-character texts ("%s"), in
// that order; any other conversion makes the call fail. False when the format is
// rejected or the local time cannot be had (out then holds "Unknow time").
bool formatLocalTime(char* out, size_t capacity, const char* format, time_t now);

// Bounded copy and append of NUL-terminated texts, silent on null arguments (ArrayCopy
// and StringAppend of Tool.h add the null-argument warning): the copy is cut to size - 1
// bytes and the buffer's last byte is always 0; a null source leaves the buffer as it was.
void copyBounded(char* destination, uint32_t size, const char* source);
void appendBounded(char* destination, uint32_t size, const char* source);

// Private places for files another local user must not plant or read.
// A directory (not a link) owned by the effective user, neither group- nor world-writable.
bool isPrivateDirectory(const char* path);
// The directory part of path ("." when it has none) is private; false for a directory
// part longer than 4095 bytes.
bool isInPrivateDirectory(const char* path);
// Opens path without following a link and without blocking (a FIFO), close-on-exec,
// then insists on a regular file of the effective user. flags: O_RDONLY or O_WRONLY|
// O_APPEND|O_CREAT and the like; mode for a created file. Descriptor, or -1 with errno.
int openPrivateFile(const char* path, int flags, unsigned mode);
