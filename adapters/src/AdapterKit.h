// Small helpers shared by the adapters we ship: parameter lookup in the service's map,
// the per-thread answer buffer and the error answer every shipped adapter gives.
//
// Answers are written into one buffer per adapter library and thread; the pointer an
// entry point returns stays valid until that adapter's next call on the same thread.
// The service copies the answer before anything else runs on that thread, so this
// meets the adapter contract without allocating per call.
//
// Error answers are the JSON text {"error":{"code":"<CODE>","message":"<text>"}} with a
// code from the fixed set below, so page code (and the JavaScript client) can branch on
// the code and show the message to a person.
#pragma once
#include <cstddef>
#include <string>

#include "HalvorantAdapter.h"

namespace adapterkit {

constexpr size_t kAnswerSize = 16384;

// The text value of key (ignoring ASCII case), or null when absent.
const char* param(const HalvorantJsonMap* map, const char* key);
// Equality ignoring ASCII case; null equals nothing.
bool sameName(const char* a, const char* b);
// Copies text into the answer buffer (cut to fit) and returns it.
const char* answer(const char* text);
// Answers text whole, however long: beyond the fixed buffer it goes into a per-thread
// heap buffer that the library frees when it is unloaded.
const char* answerWhole(const std::string& text);

enum class ErrorCode {
  NoToken,        // "NO_TOKEN": no token or card is present (or it was removed)
  NotFound,       // "NOT_FOUND": the certificate, key or object asked for does not exist
  PinIncorrect,   // "PIN_INCORRECT": wrong PIN; the message tells the remaining tries if known
  PinLocked,      // "PIN_LOCKED": the PIN is blocked
  UserCancelled,  // "USER_CANCELLED": the person closed or cancelled the dialog
  ConsentDenied,  // "CONSENT_DENIED": the person refused the request
  BadInput,       // "BAD_INPUT": a parameter is missing or malformed, or the function is unknown
  TokenError,     // "TOKEN_ERROR": the token, the module or the adapter's own engine failed
};
// The code's text, e.g. "PIN_INCORRECT".
const char* errorCodeName(ErrorCode code);
// The error answer as a text (message JSON-escaped; null reads as empty).
std::string errorJson(ErrorCode code, const char* message);
// The error answer in the answer buffer.
const char* error(ErrorCode code, const char* message);
// Legacy "error: <reason>" text; for adapters not yet moved to the JSON form.
const char* error(const char* reason);

// Appends text as a JSON string literal (quotes included); control characters, '"' and
// '\\' are escaped, other bytes are copied as they are.
void appendJsonString(std::string& out, const char* text);
// Hexadecimal text (either case, even length) to bytes; false on anything else or when
// out (capacity bytes) is too small. *length receives the byte count.
bool hexToBytes(const char* hex, unsigned char* out, size_t capacity, size_t* length);

}  // namespace adapterkit
