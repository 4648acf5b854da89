// Common utilities: memory and string helpers, encodings and small JSON texts,
// version comparison and system helpers.
//
// Contract shared by every helper here:
// - texts are NUL-terminated byte strings; every text returned is a fresh zero-filled
//   heap allocation (newMemSize) owned by the caller, released with freeMem;
// - a null pointer argument gives the null-argument warning (see Console.h) and the
//   helper's failure value, unless a helper says otherwise;
// - an allocation failure gives the two allocation-failure error lines and null.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "util/Base.h"

// ---- Memory and string helpers ----------------------------------------------------

// 0 after a successful conversion, 61004 for a null text, 61003 for a text that is not a number.
extern thread_local int32_t LastErrorCode;  // each thread its own: read right after the call

void* newMemSize(uint64_t size);       // zero-filled; 0 or >= 2^31 gives null silently
void freeMem(void* memory);            // releases what these helpers return; null is ignored

// Allocation-failure seam for tests: the nth newMemSize call from now (1: the next one, on
// any thread) fails as calloc failing would, allocation-failure lines included; 0 switches
// it off. newMemSizeCalls counts every call, so a test can walk n over a whole path.
void setAllocationFailure(uint64_t nth);
uint64_t newMemSizeCalls();
// For memory a module reuses instead of allocating anew: counts as one newMemSize call and
// fails where that call would fail (false, allocation-failure lines printed), so the seam
// reaches reused memory as it reaches new.
bool allocationSeamPasses();
char* newMem(const char* text);        // copy; null gives null
char* newMem(bool flag);               // "true" / "false"
char* newMem(int32_t number);          // "%d"
char* newMem(int64_t number);          // decimal
char* newMem(float number);            // fixed, six decimals
char* newMem(double number);           // fixed, six decimals

void ArrayCopy(char* destination, uint32_t size, const char* source);
void ArrayCopyFree(char* destination, uint32_t size, char* source);  // copy, wipe and free source
void StringAppend(char* destination, uint32_t size, const char* source);

char* replace(const char* text, const char* pattern, const char* replacement);
char* getRangeValue(const char* text, int64_t start, int64_t end);
char** getSubStringList(const char* text, const char* delimiter);  // null-terminated array
void freeSubStringList(char** list);   // frees every piece and the array; null is ignored
bool startsWith(const char* prefix, const char* text);
bool endsWith(const char* suffix, const char* text);
char* UpToLow(const char* text);
char* PaddingWith(const char* text, int width, char fill);
char* PaddingWith(int32_t number, int width, char fill);

int64_t charToLong(const char* text);               // non-strict, base 10
int64_t charToLong(const char* text, bool strict);  // strict: digits and one leading '-' only
int64_t charToLong(const char* text, int base);     // base 0 lets 0x / 0 choose
bool isCharToLongError();
// LastErrorCode read in its own object file: other files reading the thread-local
// directly go through a wrapper the undefined-behaviour checker takes for null.
int32_t lastErrorCode();
bool checkNoValue(const char* text);                // null or empty

// ---- Encodings and JSON text helpers ------------------------------------------------

char* Base64Encode(const char* text);
char* Base64EncodeBytes(const unsigned char* bytes, size_t count);  // same alphabet, raw bytes
// The same encoding into out, which has room for (count + 2) / 3 * 4 characters; no NUL is
// written. Returns that number of characters.
size_t Base64EncodeInto(const unsigned char* bytes, size_t count, char* out);
char* Base64Decode(const char* text);  // stops at the first character outside the alphabet
// The DER bytes of a PEM text's first block (its Base64 body, line breaks skipped) into out
// (capacity bytes), allocating nothing, for key material the caller wipes: the byte count,
// 0 when there is no block, it holds another character or it does not fit.
size_t PemDecode(const char* pem, unsigned char* out, size_t capacity);
int Base64encode_len(int count);
int Base64decode_len(const char* text);
char* Base64DecodeFix(const char* text);  // reverses \r \n \t \u000f \u000e \u001b \" only
char* HexEncode(const unsigned char* input, int count);
unsigned char* HexDecode(const char* input);  // length/2 bytes plus a terminating zero byte

char* addJSON(const char* json, const char* key, const char* value);
char* addJSON(const char* json, const char* key, int32_t value);
char* oneJSON(const char* value);
char* oneJSON(int32_t value);
void finalJSON(char** json);
char* getCustomJson(const char* functionName);
char* getJsonCharValue(const char* json, const char* key);  // not re-entrant
bool getJsonBoolValue(const char* json, const char* key);
int64_t getJsonLongValue(const char* json, const char* key);

// ---- Version comparison ---------------------------------------------------------------

// 0 equal, 1 A greater, -1 A smaller, 2 text components differ, 3 different component
// counts, 61005 an empty component, 61001 null argument or split failure.
int32_t checkVersion(const char* versionA, const char* versionB);
char* getDynamicVersion(const char* baseVersion);

// ---- System helpers -------------------------------------------------------------------

extern char CopyPathBuffer[4096];

char* getExecutePath();
char* getCopyPath(const char* name);
char* getTime(const char* format);  // year as %d, then five two-character texts
uint64_t getTimeValue();
char* getTimeValueStr();
bool getSecureRandom(unsigned char* buffer, int length);
char* genUUID();
bool isFileExist(const char* path);
char* readFile(const char* path, const char* mode);
bool deleteFile(const char* path);
bool Halvorant_CopyFile(const char* source, const char* destination);
bool CP_FreeLibrary(void* library);

// Clock seam (halvorantNow, setHalvorantClock): see util/Base.h, included above.

// Random-device seam for tests (genUUID with an unreadable device); nullptr restores
// "/dev/urandom".
void setSecureRandomDevice(const char* path);
