// The kit every shipped adapter is built on: parameter lookup in the service's map, the
// per-thread answer buffer, the one error answer with its code list, hexadecimal and JSON
// texts, the guard around the C entry points and the bounded call.
//
// Answers are written into one buffer per adapter library and thread; the pointer an
// entry point returns stays valid until that adapter's next call on the same thread.
// The service copies the answer before anything else runs on that thread, so this
// meets the adapter contract without allocating per call.
//
// Error answers are the JSON text {"error":{"code":"<CODE>","message":"<text>"}} with a
// code from the fixed set below, so page code (and the JavaScript client) can branch on
// the code and show the message to a person.
//
// Limits: the service gives up on an adapter call after 150 s. Every shipped adapter
// therefore ends each entry-point call within kCallBudget on its own: work that may not
// come back (a PKCS#11 module, the smart-card service) runs through runBounded, and
// dialogs that wait for a person get what is left of the budget.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

#include "HalvorantAdapter.h"

namespace adapterkit {

constexpr size_t kAnswerSize = 16384;
// The longest an entry-point call of a shipped adapter takes, dialogs included.
constexpr std::chrono::seconds kCallBudget{140};

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
  NotFound,       // "NOT_FOUND": the certificate, key, reader or object asked for does not exist
  PinIncorrect,   // "PIN_INCORRECT": wrong PIN; the message tells the remaining tries if known
  PinLocked,      // "PIN_LOCKED": the PIN is blocked
  UserCancelled,  // "USER_CANCELLED": the person closed or cancelled the dialog (or let it time out)
  ConsentDenied,  // "CONSENT_DENIED": the person refused the request
  BadInput,       // "BAD_INPUT": a parameter is missing or malformed, or the function is unknown
  TokenError,     // "TOKEN_ERROR": the token, the module or the adapter's own engine failed
  NoService,      // "NO_SERVICE": the smart-card service or a token's module does not answer
  NoReader,       // "NO_READER": no smart-card reader is attached (or it was unplugged)
  Timeout,        // "TIMEOUT": a wait for a card ended without it
  Busy,           // "BUSY": another program holds the card or reader in a transaction
  Internal,       // "INTERNAL": the adapter itself failed (out of memory, no thread); nothing was done
};
// The code's text, e.g. "PIN_INCORRECT".
const char* errorCodeName(ErrorCode code);
// The error answer as a text (message JSON-escaped; null reads as empty).
std::string errorJson(ErrorCode code, const char* message);
inline std::string errorJson(ErrorCode code, const std::string& message) { return errorJson(code, message.c_str()); }
// The error answer in the answer buffer.
const char* error(ErrorCode code, const char* message);
inline const char* error(ErrorCode code, const std::string& message) { return error(code, message.c_str()); }

// Appends text as a JSON string literal (quotes included): '"', '\\' and control
// characters escaped, well-formed UTF-8 kept, any other byte replaced by U+FFFD.
void appendJsonString(std::string& out, const char* text);
void appendJsonString(std::string& out, const std::string& text);
// The same literal as a text.
std::string jsonString(const std::string& text);
// Hexadecimal text of bytes, lower case unless upper, no separators.
std::string hexText(const unsigned char* bytes, size_t length, bool upper = false);
// Hexadecimal text (either case, even length) to bytes; false on anything else or when
// out (capacity bytes) is too small. *length receives the byte count.
bool hexToBytes(const char* hex, unsigned char* out, size_t capacity, size_t* length);

// Runs the work of one C entry point: an exception (std::bad_alloc, a std::system_error
// from a thread that could not start, anything else) becomes the INTERNAL error answer,
// written without allocating. Nothing ever leaves an entry point by throwing.
const char* guarded(const std::function<const char*()>& work) noexcept;
// The INTERNAL answer (for tests and for guarded).
const char* internalError(const char* what) noexcept;

// Runs work on a thread of its own and waits for it at most limit. True once it finished
// (an exception it threw is thrown again here). False when it did not: cancel, when given,
// is called (it should make the work end, e.g. by killing the program it waits for) and the
// work gets a moment more to end; a thread still running then is left behind, and this
// library stays loaded from then on (pinned), so its code is never unmapped under that
// thread. Whatever work uses must therefore be its own (copies, shared pointers), never the
// caller's stack; and whatever it is stuck in must not be called again.
bool runBounded(std::chrono::milliseconds limit, std::function<void()> work, std::function<void()> cancel = nullptr);
// Threads left behind by runBounded that have not finished yet.
int threadsLeftBehind();

}  // namespace adapterkit
