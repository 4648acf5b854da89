/*
 * Adapter interface of the NoxHalvorant service. Usable from C (C99/C11) and C++.
 *
 * An adapter is a dynamic library that exports at least one of the two entry points
 * below with C linkage; the service resolves them by name and prefers
 * callJsonMapMethod when both are present.
 *
 * Contract
 * - The map belongs to the service. It is passed by address for the duration of one
 *   call; the adapter reads it, must not change or free it, and must not keep the
 *   pointer (or any pointer reachable from it) after the call returns.
 * - The returned text belongs to the adapter. The service copies it and never frees
 *   it; it must stay valid at least until the call has returned. Return a NUL-terminated
 *   text: the page receives it unchanged as its "result".
 * - Page calls: callJsonMapMethod gets the page's own map and the request's
 *   "FunctionName" as functionName; callMethod gets the JSON text the map was read from.
 * - The service's own calls use a fresh map of exactly three text units:
 *     "functionname"           = the function name (also passed as functionName)
 *     "AdapterJsonKeyCheck"    = "true"
 *     "HalvorantFunctionIndex" = the index
 *   "Halvorant_GetVersion", index "-1": once when a session opens. Return a version
 *     text (e.g. "1.2.3.4"), or a decimal code 61000..61999 which is handed to the page
 *     as the failure result; an empty text or NULL means the adapter cannot be used.
 *   "Halvorant_Release", index "-3": when the session is released; the result is ignored.
 *   An adapter that exports only callMethod receives the version query through
 *   callMethod, as the JSON text of the same three keys, e.g.
 *   {"functionname":"Halvorant_GetVersion","AdapterJsonKeyCheck":"true","HalvorantFunctionIndex":"-1"}
 *
 * Map layout (binary interface; natural alignment, no packing):
 *   HalvorantJsonUnit  32 bytes: key @0, value @8, data @16, dataLength @24
 *   HalvorantJsonMap 4112 bytes: units[128] @0, jsonText @4096, count @4104
 * Units 0..count-1 are in use and sorted by key, compared byte-wise after folding
 * 'A'-'Z' to 'a'-'z' (a proper prefix sorts first). A key is never NULL in a unit in use;
 * value (text) and data (dataLength bytes) are each optional. Keys match ignoring case.
 * A map read from JSON may hold the same key more than once.
 *
 * Host interface (optional, additive)
 *   The service executable exports functions an adapter may look up at run time with
 *   dlsym(RTLD_DEFAULT, name); link nothing against them, and work on without them when
 *   the lookup gives NULL (an older service, or a test host):
 *   "HalvorantHost_Origin"  const char* (void): the origin of the page whose request is
 *     being processed, e.g. "https://bank.example" (the Origin header, else the Referer's
 *     origin, as the service checked it; may be empty). "null" for an opaque origin (a
 *     sandboxed frame: the Origin header "null"): such a page has no site and must never
 *     be asked about or acted for as one; it is not the Referer's origin. Valid only during
 *     an entry-point call and only on the thread the service called the adapter on; copy
 *     it to keep it. Outside a call it answers NULL.
 *   The person's decisions about sites (registrable domains), kept by the service in memory
 *   for its lifetime, for every session and adapter (each session's copy of an adapter has
 *   fresh globals, so an adapter cannot keep them itself); never written to disk. All of
 *   them act on the site of the request being processed on the calling thread (the service
 *   derives it from the origin; an adapter cannot name another site) and answer -1 outside
 *   an entry-point call:
 *   "HalvorantHost_SiteVerdict"  int (const char* purpose): HALVORANT_SITE_BLOCKED (the
 *     person chose "Block this site", or the origin is opaque), HALVORANT_SITE_REFUSED (two
 *     refusals within 10 minutes: refused for 10 minutes), HALVORANT_SITE_GRANTED (the person
 *     allowed purpose, an adapter's own name for what it asked, e.g. "pki.certificates"),
 *     else HALVORANT_SITE_ASK. While the site is blocked or refused no dialog may open for it.
 *   "HalvorantHost_SiteDecision"  int (const char* purpose, int decision): records what the
 *     person chose in a dialog: HALVORANT_SITE_GRANTED (allowed purpose), HALVORANT_SITE_REFUSED
 *     (refused or cancelled it; a dialog that timed out is no refusal), HALVORANT_SITE_BLOCKED
 *     ("Block this site"); answers the verdict then in force. Nothing is recorded for an
 *     opaque origin.
 *   "HalvorantHost_DialogTurn"  int (int waitMilliseconds): takes the service's one dialog
 *     turn for the calling thread, waiting at most waitMilliseconds while another call holds
 *     it: 1 taken (also when this thread holds it already), 0 not within the wait. Show a
 *     dialog only while holding the turn, so that the person never gets two stacked; a turn
 *     held longer than 150 s counts as given back.
 *   "HalvorantHost_DialogDone"  void (void): gives the calling thread's turn back.
 *
 * Loading
 *   Each session loads its own copy of the adapter and unloads it at its release, so the
 *   adapter's own globals start fresh in every session. System libraries the adapter
 *   links (anything not named *.dylib) stay loaded once a session has brought them in, so
 *   that later sessions open faster: release every handle, context or module you took from
 *   them in "Halvorant_Release" rather than relying on their unloading.
 *
 * Long calls
 *   Calls that wait for the person (PIN or consent dialogs) or for a token take seconds to
 *   minutes: pages should send them in main-thread mode ("MainThread" true) so that the
 *   connection gets heartbeat answers while the call runs.
 */
#ifndef HALVORANT_ADAPTER_H
#define HALVORANT_ADAPTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HALVORANT_JSON_MAP_UNITS 128

typedef struct HalvorantJsonUnit {
  char* key;           /* NUL-terminated key, never NULL in a unit in use */
  char* value;         /* NUL-terminated text value, or NULL */
  unsigned char* data; /* binary value of dataLength bytes, or NULL */
  uint64_t dataLength;
} HalvorantJsonUnit;

typedef struct HalvorantJsonMap {
  HalvorantJsonUnit units[HALVORANT_JSON_MAP_UNITS];
  char* jsonText; /* the JSON text the map was read from, or NULL */
  int32_t count;  /* units in use, 0..128 */
} HalvorantJsonMap;

/* Entry-point types, as the service resolves them. */
typedef const char* (*HalvorantCallJsonMapMethod)(const HalvorantJsonMap* map, const char* functionName);
typedef const char* (*HalvorantCallMethod)(const char* json);

#if defined(__GNUC__) || defined(__clang__)
#define HALVORANT_ADAPTER_EXPORT __attribute__((visibility("default")))
#else
#define HALVORANT_ADAPTER_EXPORT
#endif

/* Host interface functions, as found with dlsym(RTLD_DEFAULT, ...). */
typedef const char* (*HalvorantHostOriginFunction)(void);
#define HALVORANT_HOST_ORIGIN "HalvorantHost_Origin"
typedef int (*HalvorantHostSiteVerdictFunction)(const char* purpose);
#define HALVORANT_HOST_SITE_VERDICT "HalvorantHost_SiteVerdict"
typedef int (*HalvorantHostSiteDecisionFunction)(const char* purpose, int decision);
#define HALVORANT_HOST_SITE_DECISION "HalvorantHost_SiteDecision"
typedef int (*HalvorantHostDialogTurnFunction)(int waitMilliseconds);
#define HALVORANT_HOST_DIALOG_TURN "HalvorantHost_DialogTurn"
typedef void (*HalvorantHostDialogDoneFunction)(void);
#define HALVORANT_HOST_DIALOG_DONE "HalvorantHost_DialogDone"

/* Verdicts and decisions about a site. */
#define HALVORANT_SITE_ASK 0
#define HALVORANT_SITE_GRANTED 1
#define HALVORANT_SITE_REFUSED 2
#define HALVORANT_SITE_BLOCKED 3

/* Defined by the service executable only; adapters look them up, never call them directly. */
HALVORANT_ADAPTER_EXPORT const char* HalvorantHost_Origin(void);
HALVORANT_ADAPTER_EXPORT int HalvorantHost_SiteVerdict(const char* purpose);
HALVORANT_ADAPTER_EXPORT int HalvorantHost_SiteDecision(const char* purpose, int decision);
HALVORANT_ADAPTER_EXPORT int HalvorantHost_DialogTurn(int waitMilliseconds);
HALVORANT_ADAPTER_EXPORT void HalvorantHost_DialogDone(void);

/* The entry points an adapter exports (at least one of them). */
HALVORANT_ADAPTER_EXPORT const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName);
HALVORANT_ADAPTER_EXPORT const char* callMethod(const char* json);

#ifdef __cplusplus
}
#endif

#endif /* HALVORANT_ADAPTER_H */
