// INI profile files: reading and editing [section] / key=value text files.
//
// Every call opens the file, does its work and closes it; nothing is cached.
// Matching: section names and keys compare without regard to letter case and must have
// the same length; a line beginning with ';' is a comment; an entry belongs to the
// nearest section header above it; the first matching section is the one used.
// Lines are read in pieces of at most 255 characters (the entry search: the caller's
// buffer size minus one); the rest of a longer line is never taken for a line of its
// own, and editing copies it through unchanged.
//
// Editing functions write a complete copy "<path>.tmp" beside the file and rename it
// over the file (atomic on POSIX), so the file is never missing. Calls that edit the
// same file must not overlap (they share that temporary name). Reading is thread-safe.
// Nothing is written to the console: failures are reported by the codes only.
#pragma once
#include <cstdio>

enum : int {
  INI_OK = 0,
  INI_OPEN_FAIL = 101,       // file not readable, or the copy could not be created/written
  INI_NO_SECTION = 102,      // section not found (reading only)
  INI_NO_ENTRY = 103,        // entry not found; also invalid (null, multi-line) arguments
  INI_REPLACE_FAIL = 104,    // the finished copy could not be renamed over the file;
                             // the file is unchanged and the copy is removed
};

// Copies the cleaned value (trimQuote) into value (size bytes, NUL-terminated).
// A null path gives 101; a null section, key or value buffer, or size below 2, gives 103.
int GetIniProfileString(const char* section, const char* key, char* value, int size,
                        const char* path);
// The value read with a 256-byte buffer as a decimal int (white space, sign, leading
// digits; clamped to the int range); 0 when there are no digits or reading fails.
int GetIniProfileInt(const char* section, const char* key, const char* path);

// Sets key=value in the section, adding the section (at the end) and the entry as needed;
// a missing file is created. Empty lines of the section before the entry are dropped.
// Section, key and value must not contain CR or LF, nor the key '=' (else 103).
int WriteIniProfileString(const char* section, const char* key, const char* value,
                          const char* path);
int WriteIniProfileInt(const char* section, const char* key, int value, const char* path);
// Removes the header and every line up to the next header; 0 also when it was absent.
int DeleteIniProfileSection(const char* section, const char* path);
// Remove / replace the value of / rename the first entry for the key: 0, or 103 when the
// section or entry is absent (the file is then left untouched).
int DeleteIniProfileEntry(const char* section, const char* key, const char* path);
int UpdateIniProfileEntry(const char* section, const char* key, const char* value,
                          const char* path);
int RenameIniProfileEntry(const char* section, const char* oldKey, const char* newKey,
                          const char* path);

// 1 when line is the header of section (any header when section is null), else 0.
int isSection(const char* line, const char* section);
// Reads lines until the header of section has been read: 1, or 0 at end of file
// (also for a null file or section).
int gotoSection(FILE* file, const char* section);
// Looks for the entry from the current line to the next header; 0 with the cleaned
// value in value, else 103 (value is then empty when it could be written).
int getEntry(FILE* file, const char* key, char* value, int size);
// Pointer to the value text after the first '=' when line is an entry for key, else null.
char* getValue(char* line, const char* key);
// In place: strips trailing CR/LF, then unwraps a value quoted with " or '.
void trimQuote(char* value);
