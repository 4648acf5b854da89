// Session manager: the table of open sessions, adapter loading, request processing and
// release. Request processing may run on several threads at once: the table and the
// value store are guarded by RequestLock, held only for their own work; adapter code runs
// outside it, one thread at a time per session (a thread needing a session another thread
// works with waits for it). Callers keep one session's requests in order.
#pragma once
#include <pthread.h>

#include <cstdint>
#include <mutex>

struct HalvorantJsonMap;

// Guards the session table, the age queue, the value store and slot hand-over. Never
// held while adapter code runs or while waiting for another thread (except on
// SessionFree, which releases it).
extern std::mutex RequestLock;

// Start-up, once, before any listener starts: empties the table, keeps its own copies
// of the working copy directory and the executable's directory, creates the copy
// directory (mode 0700) and starts the value store. A copy directory that is not a real
// directory of this user closed to group and others is not used: adapters then load
// from their installed files.
void HalvorantSession_Init(const char* copyDirectory, const char* executableDirectory);

// Shutdown: releases every open session no thread works with, oldest first, unloading
// its adapter and deleting its copy; deletes every other copy it made (a session still
// in use keeps its library loaded); then wipes the value store. Call without RequestLock.
void HalvorantSession_Final();

// The sessions whose adapter thread is working with are abandoned (it stopped answering):
// marked broken, found by no lookup, their copies deleted now; never called into or
// unloaded again. The slot is freed when that thread returns. How many were abandoned.
int HalvorantSession_Abandon(pthread_t thread);

// Deletes every adapter copy this service made and has not deleted yet (the last step of
// a stop, whatever adapters are doing). How many.
int HalvorantSession_DeleteAllCopies();

// The key under which requests must stay in order: a found session's identifier (and
// origin), else the request's own SessionId text, else empty (a request that opens a
// fresh session follows no other). Takes RequestLock briefly. Cut to size - 1.
void HalvorantSession_OrderKey(const HalvorantJsonMap* request, const char* origin, char* key, unsigned size);

// What holds the service up besides connections and calls, for its idle exit: the
// sessions open or being opened, and whether a stored value is live (*valuesUntil: its
// last live second on halvorantNow's clock, INT64_MAX for one without timeout). Takes
// RequestLock briefly.
int HalvorantSession_Held(bool* valueLive, int64_t* valuesUntil);

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
// lock as HalvorantSession_Process (RequestLock). Prints and allocates nothing. A session
// another thread works with is not quick.
bool HalvorantSession_IsQuick(const HalvorantJsonMap* request, const char* origin);
// Processes request at once, entirely under RequestLock, when it is quick (see above):
// *done true and the answer as HalvorantSession_Process gives it. Otherwise *done false,
// null, and nothing happened. Call without RequestLock.
HalvorantJsonMap* HalvorantSession_ProcessIfQuick(HalvorantJsonMap* request, char* origin, bool* done);

// Releases the session in slot index: tells the adapter ("Halvorant_Release"), unloads
// it, deletes the session's own copy (never an installed file) and empties the slot.
// An index outside 0..31 or a free slot is left alone. The caller removes the age stamp.
void HalvorantSession_freeSession(int index);
