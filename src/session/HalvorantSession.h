// Session manager: the table of open sessions, adapter loading, request processing and
// release. Request processing is not re-entrant: callers serialise it (RequestLock).
#pragma once
#include <cstdint>

struct HalvorantJsonMap;

// Start-up, once, before any listener starts: empties the table and keeps its own copies
// of the working copy directory and the executable's directory.
void HalvorantSession_Init(const char* copyDirectory, const char* executableDirectory);

// Shutdown: releases every open session, oldest first, and unloads its adapter.
void HalvorantSession_Final();

// Processes one request map for the page at origin; returns the answer map (owned by the
// caller, released with freeHalvorantJsonMap) or null when there is no answer to send.
// resultLength is an out-value the front end does not use.
HalvorantJsonMap* HalvorantSession_Process(uint32_t processNumber, HalvorantJsonMap* request, char* origin,
                                           int* resultLength);
