// Internal to src/session/: no other module includes it.
// Path table, name cleaning, adapter resolution and loading.
//
// Installed adapters lie at "<ExecutePath>/<LibDir>/<ComName>.dylib"; each session loads
// its own copy "<CopyPath>/<ComName>-<tag>.dylib", where tag is the session identifier
// when it consists only of [A-Za-z0-9_-], else a token of the slot. Copy names are
// unique among open sessions. Cleaned names hold no '/', so no request text leads out
// of these two directories. Paths are composed in 512-byte buffers; one that does not
// fit is refused, never cut.
#pragma once
#include <cstddef>
#include <cstdint>
#include "util/ResultCodes.h"

struct HalvorantJsonMap;

constexpr int HALVORANT_NAME_SIZE = 64;       // LibDir and ComName buffers
constexpr int HALVORANT_PATH_ID_SIZE = 512;
constexpr int HALVORANT_FILE_PATH_SIZE = 512;  // composed file paths

constexpr int32_t HALVORANT_NO_ADAPTER_NAME = kResult_NO_ADAPTER;
constexpr int32_t HALVORANT_ADAPTER_NOT_LOADED = kResult_ADAPTER_NOT_LOADED;
constexpr int32_t HALVORANT_NO_ENTRY_POINT = kResult_NO_ENTRY_POINT;

// Drops < > : " / \ | ? * ; & $ from the text (at most size characters examined),
// zero-fills the buffer behind the kept text and empties a result of exactly "..".
// The result is always terminated within size.
void sanitize_file_name(char* text, size_t size);

// PathID equal to a row's identifier (ignoring case): libDir and comName (64-byte
// buffers) become that row's names; otherwise both stay.
void HalvorantSession_searchPathTable(const char* pathId, char* libDir, char* comName);
// true when a row has both names (ignoring case); logs each row compared.
bool HalvorantSession_isInPathTable(const char* libDir, const char* comName);

// Resolves the request's adapter into libDir and comName (64-byte buffers): 0, or
// HALVORANT_NO_ADAPTER_NAME when no usable name results.
int32_t HalvorantSession_resolveAdapter(const HalvorantJsonMap* request, char* libDir, char* comName);

// Copies and loads the adapter into the claimed slot index and resolves its entry
// points: 0, HALVORANT_ADAPTER_NOT_LOADED or HALVORANT_NO_ENTRY_POINT. On failure the
// slot has been released and unstamped.
int32_t HalvorantSession_loadAdapter(int index, const char* libDir, const char* comName);

// true when directory is a real directory (not a symbolic link) owned by this user
// with no group or world write bit: only then are adapter copies made in it.
bool HalvorantSession_isSafeCopyDirectory(const char* directory);
