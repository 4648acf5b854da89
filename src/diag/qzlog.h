// File logger: one line per message, dated file names, rotation by size.
// Switched on from an INI settings file (qzlog_init); every service message is level 5.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

int qzlog_init(const char* section, const char* ini);  // -1 when already set up, else the "Log Level" read code
int qzlog_initialize(const char* logFile, int level);   // level 0 switches logging off
int qzlog_setlevel(int level);
uint64_t qzlog_time();
int qzlog(int level, int flags, const char* format, ...) __attribute__((format(printf, 3, 4)));
int qzvlog(int level, int flags, const char* format, va_list arguments);
// A message that is already the text the file shows (controls escaped, see
// escapeControls), given in two parts written one after the other; either may be null
// with length 0. Same line as qzlog(level, 0, "%s%s", first, second) of the unescaped texts.
int qzlog_text(int level, const char* first, size_t firstLength, const char* second, size_t secondLength);
int qzlog_dump(int level, const char* file, int line, const char* function, const char* label,
               const unsigned char* data, int length);

uint64_t GetMilliseconds();
uint64_t GetCurrentProcessId();
uint64_t GetCurrentThreadId();
void CreateLock();
void Lock();
void Unlock();
