// Parameter map: the fixed 128-unit key/value map every request and answer travels in,
// its JSON text in both directions, and the flag keys that decode a parameter.
//
// Layout and entry points are shared with adapters through HalvorantAdapter.h.
// Contract:
// - A new map is zero-filled (newHalvorantJsonMap); units 0..count-1 are in use, sorted
//   by compareHalvorantJsonUnit; keys match ignoring ASCII case; units past count stay
//   zero. Every map comes from newHalvorantJsonMap (getHalvorantJsonMap uses it), and
//   only such maps may be given to the functions here that write or release one.
// - Everything reachable from a map is owned by it: keys, texts and jsonText in the map's
//   own text area while they fit, else (and binary values always) in allocations of their
//   own. freeHalvorantJsonMap wipes and releases all; its block is kept for a later map
//   (a few are), so a request costs no allocation for its maps. Getting a map counts as
//   one allocation for the failure seam of Tool.h and fails the same way.
// - Inserts copy; lookups and getters hand out fresh copies the caller frees (freeMem).
// - Null arguments give the null-argument warning and the empty result; allocation
//   failures give the allocation-failure lines. Nothing throws.
// - A map is used by one thread at a time; CheckJson/ErrCode are process-wide.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "HalvorantAdapter.h"
#include "util/ResultCodes.h"

static_assert(sizeof(HalvorantJsonUnit) == 32, "unit layout is adapter ABI");
static_assert(offsetof(HalvorantJsonUnit, key) == 0, "unit layout is adapter ABI");
static_assert(offsetof(HalvorantJsonUnit, value) == 8, "unit layout is adapter ABI");
static_assert(offsetof(HalvorantJsonUnit, data) == 16, "unit layout is adapter ABI");
static_assert(offsetof(HalvorantJsonUnit, dataLength) == 24, "unit layout is adapter ABI");
static_assert(offsetof(HalvorantJsonMap, units) == 0, "map layout is adapter ABI");
static_assert(offsetof(HalvorantJsonMap, jsonText) == 4096, "map layout is adapter ABI");
static_assert(offsetof(HalvorantJsonMap, count) == 4104, "map layout is adapter ABI");
static_assert(sizeof(HalvorantJsonMap) == 4112, "map layout is adapter ABI");

// ---- Map (Json.cpp) ---------------------------------------------------------------------

// Missing-key report: when on, a lookup that misses a key containing neither "Halvorant"
// nor "topui" prints "Json map key not found: " and sets ErrCode to 61016.
extern std::atomic<bool> CheckJson;   // off at start
extern std::atomic<int32_t> ErrCode;  // 0 at start
constexpr int32_t HALVORANT_JSON_KEY_MISSING = kResult_JSON_KEY_MISSING;

void setJsonCheck(bool flag);  // switching on also resets ErrCode to 0
int32_t getJsonErrorCode();

// Results of addHalvorantJsonMapUnit. The service's callers ignore them; a dropped
// key is no longer reported as success.
enum : int32_t {
  HALVORANT_MAP_OK = 0,         // stored or replaced (also: empty byte insert, a no-op)
  HALVORANT_MAP_NULL_ARG = -1,  // null map or key, map unchanged
  HALVORANT_MAP_FULL = -2,      // new key with 128 units in use, dropped silently
  HALVORANT_MAP_NO_MEMORY = -3, // copy failed (allocation-failure lines printed)
};

HalvorantJsonMap* newHalvorantJsonMap();  // zero-filled, or null
void freeHalvorantJsonMap(HalvorantJsonMap* map);  // null ignored; texts wiped before release

// qsort-style comparator over HalvorantJsonUnit: keys compared byte-wise after folding
// 'A'-'Z'; -1, 0 or 1; a null unit pointer warns ("inputA"/"inputB") and gives 100.
int compareHalvorantJsonUnit(const void* inputA, const void* inputB);

// Insert or replace. A matching key (ignoring case) keeps its first spelling and place;
// a new key is appended and the map re-sorted. Text insert leaves data alone and a null
// value stores null; byte insert leaves value alone and ignores length 0.
int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, const char* value);
int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, int32_t number);  // "%d"
int32_t addHalvorantJsonMapUnit(HalvorantJsonMap* map, const char* key, const unsigned char* bytes,
                                uint64_t length);

// Recursive binary search over units low..high (inclusive) for probe->key. Found: a copy
// of the text value; else of the binary value (dataLength bytes followed by one zero
// byte, so it is always safe to read as text); else null. A range outside 0..count-1 is
// cut to it. Of several units with the same key (read from JSON) the one that came last
// in the text is returned, as browsers resolve duplicate keys.
char* BinarySearchHalvorantJsonMap(const HalvorantJsonMap* map, const HalvorantJsonUnit* probe,
                                   int32_t low, int32_t high);

// Typed getters: look the key up, decode it with fixParameter, convert.
char* getHalvorantJsonCharType(const HalvorantJsonMap* map, const char* key);  // caller frees
int64_t getHalvorantJsonLongType(const HalvorantJsonMap* map, const char* key);  // true 1, false 0, else like atol
int32_t getHalvorantJsonIntType(const HalvorantJsonMap* map, const char* key);   // as Long, clamped to 32 bits
float getHalvorantJsonFloatType(const HalvorantJsonMap* map, const char* key);   // strtof; 0 when not a number
double getHalvorantJsonDoubleType(const HalvorantJsonMap* map, const char* key); // strtod; 0 when not a number
bool getHalvorantJsonBoolType(const HalvorantJsonMap* map, const char* key);     // "true" ignoring case
bool hasHalvorantJsonKey(const HalvorantJsonMap* map, const char* key);  // text or binary value present
// getHalvorantJsonCharType's text written into buffer instead, cut to size - 1 bytes; the
// buffer holds "" when the key is missing or decoding failed. Null buffer or size 0: nothing.
void readHalvorantJsonText(const HalvorantJsonMap* map, const char* key, char* buffer, uint32_t size);
// The text of key as the map holds it, without decoding: true with *text set when it is
// a text without a decoding flag, true with *text null when the key is missing, false when
// it needs decoding or is binary (or an argument is null). Prints and allocates nothing.
bool peekHalvorantJsonText(const HalvorantJsonMap* map, const char* key, const char** text);

// ---- JSON text (JsonText.cpp) -------------------------------------------------------------

// Reads one flat JSON object (jsmn, non-strict, 257 tokens). Pairs are taken blindly from
// the last token backwards; values get Base64DecodeFix's escape reversal, keys stay as
// written; duplicate keys are kept. Rejected text: "jsmn parse error" lines and null.
// An empty key stops reading: allocation-failure lines, and the map holds only the pairs
// after it, sorted, without jsonText.
HalvorantJsonMap* getHalvorantJsonMap(const char* json);

// Writes the text units in key order as {"k": "v", "k2": "v2"}; with encode, each value is
// Base64. Keys and plain values are not escaped. No text unit gives {}.
char* getHalvorantMapString(const HalvorantJsonMap* map, bool encode);

// ---- Decoding flags (JsonFlag.cpp) ---------------------------------------------------------

// IV of encrypted parameters (AES-256-CBC, "<key>_HalvorantEncryptFlag"): the 16 ASCII
// bytes "NoxHalvorant-IV1". Pages must use the same (docs/page-authors-encryption.md).
constexpr unsigned char HALVORANT_PARAMETER_IV[16] = {'N', 'o', 'x', 'H', 'a', 'l', 'v', 'o',
                                                      'r', 'a', 'n', 't', '-', 'I', 'V', '1'};
constexpr const char* HALVORANT_SHARE_SECRET_KEY = "Halvorant_share_secret";
constexpr size_t HALVORANT_SHARE_SECRET_MIN = 32;  // AES-256 key bytes taken from the secret

// Decodes value by the first set flag of key: "_HalvorantEncryptFlag" (hex AES-256-CBC
// under the first 32 bytes of "Halvorant_share_secret"; a shorter secret is a failure),
// "_HalvorantFlag" ('*' -> '\'), "_HalvorantSlashFlag" ("==HalvorantSlash==" -> '\'),
// "_HalvorantBase64Flag". A flag is set when its key holds "true" ignoring case; a flag
// key longer than 511 bytes is never set. Any failure gives a copy of value unchanged;
// null only for a null value. A decoded value is returned exactly as decoded: its
// backslash-quote pairs are NOT turned into quotes (that happened already when the
// JSON was read; doing it again would alter what the page encoded).
char* fixParameter(const HalvorantJsonMap* map, const char* key, const char* value);

// Console display of a map between "= DISPLAY PARAMETER" start/end lines. Masks values of
// keys containing pin/pw/pass, and of keys whose "_HalvorantHide" flag is true; keys
// containing "halvorant" are shown in clear. Re-entry on the same thread (a hide flag that
// is itself encrypted decrypts, which displays) is skipped.
void showHalvorantJsonMap(const HalvorantJsonMap* map);
// Marks map as displayed on this thread (null: none): decoding its encrypted parameters
// then does not display it again. Returns the mark it replaces, for restoring.
const HalvorantJsonMap* setHalvorantDisplayedMap(const HalvorantJsonMap* map);
void showParamterFromBrowser(const char* json);  // read, display, release
