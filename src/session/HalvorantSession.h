// Session manager: the table of open sessions, adapter loading, request processing and
// release. Request processing is not re-entrant: callers serialise it (RequestLock).
#pragma once
#include <cstdint>

struct HalvorantJsonMap;

// Start-up, once, before any listener starts: empties the table, keeps its own copies
// of the working copy directory and the executable's directory, creates the copy
// directory (mode 0700) and starts the value store. A copy directory that is not a real
// directory of this user closed to group and others is not used: adapters then load
// from their installed files.
void HalvorantSession_Init(const char* copyDirectory, const char* executableDirectory);

// Shutdown: releases every open session, oldest first, unloading its adapter and
// deleting its copy, then wipes the value store.
void HalvorantSession_Final();

// Processes one request map for the page at origin; returns the answer map (owned by the
// caller, released with freeHalvorantJsonMap) or null when request or origin is null or
// no answer map can be allocated. The request is read only and never freed here.
// processNumber and resultLength are accepted and not used.
HalvorantJsonMap* HalvorantSession_Process(uint32_t processNumber, HalvorantJsonMap* request, char* origin,
                                           int* resultLength);

// True when processing request for origin calls no adapter and opens or releases
// nothing, so it ends in bounded time: Echo or the value store on an open session of
// origin, or a release when origin has no such session. Flagged (encoded) identifiers
// or function names count as not quick. Reads the session table: call it under the same
// lock as HalvorantSession_Process. Prints and allocates nothing.
bool HalvorantSession_IsQuick(const HalvorantJsonMap* request, const char* origin);

// Releases the session in slot index: tells the adapter ("Halvorant_Release"), unloads
// it, deletes the session's own copy (never an installed file) and empties the slot.
// An index outside 0..31 or a free slot is left alone. The caller removes the age stamp.
void HalvorantSession_freeSession(int index);
