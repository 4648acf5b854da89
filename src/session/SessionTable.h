// Internal to src/session/: no other module includes it.
// Session table: 32 slots, the manager's directories, and the rules by which a request
// finds its session or gets a new one.
//
// Everything here runs inside request processing's serialisation (the front end's
// RequestLock), at start-up before the listeners, or at shutdown; nothing takes a lock.
// A slot is in use exactly when its sessionId is a non-empty text.
//
// Sessions belong to the origin that opened them: only requests of that origin find them
// (and so can use, close or release them). Among one origin's sessions the lookup is the
// substring test below, and page-chosen identifiers are kept.
#pragma once
#include <cstdint>

#include "HalvorantAdapter.h"

struct HalvorantJsonMap;

constexpr int HALVORANT_SESSION_SLOTS = 32;
constexpr int HALVORANT_SESSION_ID_SIZE = 64;  // request's "SessionId" buffer
constexpr int HALVORANT_PATH_BUFFER = 4096;
constexpr int HALVORANT_ID_TRIES = 64;          // bound of the identifier collision loop
// An origin holding this many slots gives way to itself when the table is full.
constexpr int HALVORANT_SESSIONS_PER_ORIGIN = 8;

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
};

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

// Claims a slot for sessionId of origin: the first free one; when all are taken, origin's
// own oldest session gives way if origin holds HALVORANT_SESSIONS_PER_ORIGIN or more, else
// the oldest session of all. Stamps it, stores identifier, origin and opening time. -1
// when no slot can be had (the caller answers what it holds so far).
int HalvorantSession_claimSlot(const char* sessionId, const char* origin);

// Releases the slot (HalvorantSession_freeSession) and removes its age stamp.
void HalvorantSession_releaseSlot(int index);

// Reads a request key (decoded by its flags) into buffer, cut to size - 1 characters;
// a missing key reads as empty.
void HalvorantSession_readText(const HalvorantJsonMap* request, const char* key, char* buffer, uint32_t size);
