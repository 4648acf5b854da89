// Internal to src/session/: no other module includes it.
// The service's own calls to an adapter ("Halvorant_GetVersion", "Halvorant_Release").
#pragma once

struct HalvorantSessionSlot;

// Sends functionName with its "HalvorantFunctionIndex" as the three-key map through
// callJsonMapMethod. With allowString, an adapter that exports only callMethod gets the
// same three keys as JSON text instead. Copies the answer into out (cut to size - 1);
// out is empty when there is no answer (out may be null when the answer is ignored).
// Returns 1 when the adapter was called, 0 when it exports no entry point for the call,
// -1 when the query could not be built (allocation-failure lines written).
int HalvorantSession_callService(const HalvorantSessionSlot* slot, const char* functionName,
                                 const char* functionIndex, bool allowString, char* out, unsigned size);
