// Small helpers shared by the adapters we ship: parameter lookup in the service's map
// and the per-thread answer buffer.
//
// Answers are written into one buffer per adapter library and thread; the pointer an
// entry point returns stays valid until that adapter's next call on the same thread.
// The service copies the answer before anything else runs on that thread, so this
// meets the adapter contract without allocating per call.
#pragma once
#include <cstddef>

#include "HalvorantAdapter.h"

namespace adapterkit {

constexpr size_t kAnswerSize = 16384;

// The text value of key (ignoring ASCII case), or null when absent.
const char* param(const HalvorantJsonMap* map, const char* key);
// Equality ignoring ASCII case; null equals nothing.
bool sameName(const char* a, const char* b);
// Copies text into the answer buffer (cut to fit) and returns it.
const char* answer(const char* text);
// "error: <reason>" in the answer buffer.
const char* error(const char* reason);
// Hexadecimal text (either case, even length) to bytes; false on anything else or when
// out (capacity bytes) is too small. *length receives the byte count.
bool hexToBytes(const char* hex, unsigned char* out, size_t capacity, size_t* length);

}  // namespace adapterkit
