// Internal to src/session/: no other module includes it.
// Session table: 32 slots, the manager's directories, and the rules by which a request
// finds its session or gets a new one.
//
// The table, the age queue and the copy names are guarded by RequestLock, held only for
// table work: adapter code (loading, calls, release) never runs under it. A slot is in
// use exactly when its sessionId is a non-empty text. A thread that works with a slot's
// adapter marks the slot busy (holder: that thread) under the lock; while it is busy the
// adapter fields (library, entry points, versions, path) are its holder's alone, and no
// other thread uses, evicts or releases it. Other threads needing the session wait on
// SessionFree. A busy slot whose holder stopped answering is marked broken: it is found
// by no lookup, its copy is deleted at once, and its holder frees it (without calling into
// the library again) if it ever returns.
//
// Sessions belong to the origin that opened them: only requests of that origin find them
// (and so can use, close or release them). Among one origin's sessions the lookup is the
// substring test below, and page-chosen identifiers are kept.
#pragma once
#include <pthread.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "HalvorantAdapter.h"

struct HalvorantJsonMap;

constexpr int HALVORANT_SESSION_SLOTS = 32;
constexpr int HALVORANT_SESSION_ID_SIZE = 64;  // request's "SessionId" buffer
constexpr int HALVORANT_PATH_BUFFER = 4096;
constexpr int HALVORANT_ID_TRIES = 64;          // bound of the identifier collision loop
// A site (registrable domain) holding this many slots gives way first when the table is full.
constexpr int HALVORANT_SESSIONS_PER_SITE = 8;

struct HalvorantSessionSlot {
  char* sessionId;         // owned; null or empty when the slot is free
  char* adapterName;       // owned ComName after resolution
  char* adapterVersion;    // owned answer to the version query
  char* installerVersion;  // owned; null when the page named no installer
  char adapterPath[HALVORANT_PATH_BUFFER];  // file actually loaded: own copy or installed
  void* library;
  HalvorantCallMethod callMethod;
  HalvorantCallJsonMapMethod callJsonMapMethod;
  uint32_t browserMode;  // 1: release and close requests are ignored
  int64_t initTime;      // seconds since the epoch; 0 when free
  // Ours: adapterPath is this session's own copy inside the copy directory. Release
  // deletes a file only when this is set, never an installed adapter.
  uint32_t ownCopy;
  char* origin;  // owned: the origin that opened the session
  // Under RequestLock (see above).
  uint32_t busy;        // a thread works with the adapter: holder
  uint32_t broken;      // its holder was abandoned inside the adapter
  pthread_t holder;
  uint64_t generation;  // grows each time the slot is freed
};

// Signalled (under RequestLock) whenever a slot stops being busy or is freed.
extern std::condition_variable SessionFree;

extern HalvorantSessionSlot SessionList[HALVORANT_SESSION_SLOTS];

// The manager's own copies of the working copy directory and the executable's
// directory, set once by HalvorantSession_Init (the front end keeps its own).
extern char SessionCopyPath[HALVORANT_PATH_BUFFER];
extern char SessionExecutePath[HALVORANT_PATH_BUFFER];

constexpr const char* HALVORANT_SERVER_VERSION = "1.0.23.0510";

// The first slot opened by origin whose identifier occurs inside requestId (case-sensitive
// substring test), or -1. An empty or null requestId, or a null origin, finds nothing.
int HalvorantSession_findSession(const char* requestId, const char* origin);

// A fresh identifier (genUUID) equal to no open session's, logging each collision.
// Null after HALVORANT_ID_TRIES collisions or when no identifier can be allocated.
char* HalvorantSession_newSessionId();

// Claims a slot for sessionId of origin: the first free one; when all are taken, an idle
// session gives way (released outside the lock): the oldest of origin's site when that
// site holds HALVORANT_SESSIONS_PER_SITE or more, else the oldest of any site holding that
// many, else the oldest of all. Stamps it, stores identifier, origin and opening time and
// marks it busy for the calling thread. -1 when no slot can be had (the caller answers
// what it holds so far). Takes RequestLock: call it without.
int HalvorantSession_claimSlot(const char* sessionId, const char* origin);

// Releases the slot (HalvorantSession_freeSession, which removes its age stamp too).
void HalvorantSession_releaseSlot(int index);

// Under RequestLock: frees a broken slot without calling into its library (which stays
// loaded: the abandoned thread may still run its code).
void HalvorantSession_dropBrokenLocked(int index);

// Under RequestLock: marks slot index busy for the calling thread and returns its
// generation; releases the mark. done answers false when the slot was abandoned meanwhile
// (it has then been freed here, without calling into its library).
uint64_t HalvorantSession_holdLocked(int index);
bool HalvorantSession_doneLocked(int index, uint64_t generation);
// Without RequestLock: true when the calling thread still holds slot index of generation
// (not abandoned); otherwise frees a broken slot it held and answers false.
bool HalvorantSession_stillHeld(int index, uint64_t generation);

// Held around every load (dlopen with the adapter's constructors) and unload (dlclose
// with its destructors) of an adapter. The loader serialises these anyway; taking it here
// makes that order visible, so that a library mapped where a just-unloaded one lay is not
// taken for a data race (ThreadSanitizer cannot see the loader's own lock).
extern std::mutex AdapterLoaderLock;

// The adapter copies this service made and has not deleted yet (their own leaf lock):
// reserveCopy claims a path for slot index (false when another copy has it),
// forgetCopy drops it after deletion or when no copy was made.
bool HalvorantSession_reserveCopy(const char* path, int index);
void HalvorantSession_forgetCopy(const char* path);
// Deletes the copies reserved for slot index; how many.
int HalvorantSession_deleteCopiesOf(int index);

// Reads a request key (decoded by its flags) into buffer, cut to size - 1 characters;
// a missing key reads as empty.
void HalvorantSession_readText(const HalvorantJsonMap* request, const char* key, char* buffer, uint32_t size);
