// HTTPS listeners, the request handler and its answers.
//
// Every listener runs on its own libmicrohttpd polling thread; the callbacks below run
// there, one at a time per listener. Each request collects its own body in its connection
// context, so requests on different listeners never mix. No listener thread ever waits
// for request processing: an admitted request is parked (its connection suspended) and
// handed to the worker (Worker.h) or the main thread (MainThread.h), and answered when
// its outcome is delivered. Handshakes, refusals and preflights go on meanwhile.
#pragma once
#include <microhttpd.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include "util/ResultCodes.h"

struct HalvorantJsonMap;

// ---- Listeners (Daemon.cpp) -----------------------------------------------------------------

// MHD_USE_AUTO: epoll (Linux) or poll, never select, whose descriptor ceiling let a few
// hundred idle connections stop every listener. MHD_ALLOW_SUSPEND_RESUME: parked requests
// (see above).
constexpr unsigned kDaemonFlagsIPv4 = MHD_USE_ERROR_LOG | MHD_USE_TLS | MHD_USE_INTERNAL_POLLING_THREAD |
                                      MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME;
constexpr unsigned kDaemonFlagsIPv6 = kDaemonFlagsIPv4 | MHD_USE_IPv6;
static_assert(kDaemonFlagsIPv4 == (11 | 65536 | MHD_ALLOW_SUSPEND_RESUME) &&
                  kDaemonFlagsIPv6 == (27 | 65536 | MHD_ALLOW_SUSPEND_RESUME),
              "listener flags are fixed");

// A connection with nothing received or sent for this long is closed; answers promise
// "Keep-Alive: timeout=15".
constexpr unsigned kConnectionTimeoutSeconds = 15;
// Open connections one listener takes, and all six together (the latter lowered at
// start-up when the descriptor limit is smaller).
constexpr unsigned kListenerConnectionLimit = 256;
constexpr unsigned kGlobalConnectionLimit = 1024;
// Descriptors kept free of connections (listeners, log, adapters, their files).
constexpr unsigned kReservedDescriptors = 64;
// Sets the global connection limit from the process's descriptor limit; the limit.
unsigned setConnectionBudget(uint64_t descriptors);
// Connections open on all listeners now.
unsigned openConnections();
// When the last connection closed (the epoch of steady_clock before any did).
std::chrono::steady_clock::time_point lastConnectionClosed();

// TLS 1.2 and 1.3 only, no SHA-1.
constexpr const char* kTlsPriorities = "NORMAL:!VERS-TLS-ALL:!SHA1" ":+VERS-TLS1.2" ":+VERS-TLS1.3";

// The listeners' certificate and key (PEM texts, only read during the call), parsed once
// for all of them: the key goes to the TLS library in DER form decoded here, so that no
// copy of its text is left behind by the library's PEM reading. False when either cannot
// be read or they do not belong together. Released by releaseListenerCredentials after
// the listeners stopped.
bool setListenerCredentials(const char* certificate, const char* key);
void releaseListenerCredentials();

// Starts one HTTPS listener on address (AF_INET or AF_INET6, port in network order) with
// the credentials set above and prints its launch-state line. listenSocket: a socket
// already listening on address (from the service manager), which the listener then owns;
// -1 binds address. Null on failure.
MHD_Daemon* StartDaemon(unsigned flags, sockaddr* address, const char* priorities, int listenSocket = -1);

// Accept policy of every listener. closure: listenerClosure(family, port) of the
// listener. Refused: on IPv4 any client but 127.0.0.1; a client whose socket belongs to
// another user (or cannot be found); anything beyond the global connection limit; every
// connection once shutdown has started.
MHD_Result apc(void* closure, const sockaddr* address, socklen_t length);
void* listenerClosure(int family, uint16_t port);

// Keeps the count of open connections (MHD_OPTION_NOTIFY_CONNECTION).
void notifyConnection(void* closure, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code);

// Library error log: to the file log (level 5) and to standard output.
void MHD_Logger(void* closure, const char* format, va_list arguments);

// Releases the connection's request context.
void request_completed(void* closure, MHD_Connection* connection, void** context,
                       MHD_RequestTerminationCode code);

// ---- Request handler (Handler.cpp, Answer.cpp) ---------------------------------------------------

// Longest "Parameter" a request may carry; a longer one closes the connection unanswered.
constexpr size_t kMaxParameterLength = 1024 * 1024;
// Memory all unfinished bodies together may hold; a body that would go beyond it is
// refused (connection closed), so slow or stalled uploads cannot exhaust memory.
constexpr size_t kMaxPendingBodyBytes = 64 * 1024 * 1024;
// A body held in at most this much is not charged to that budget, so big uploads that
// fill it cannot starve ordinary requests; bounded by the connection limit (16 MiB).
constexpr size_t kUnchargedBodyBytes = 16 * 1024;
// Bytes held by bodies now.
size_t pendingBodyBytes();

// Per-request context, from the handler's first call for a request to request_completed.
struct RequestContext {
  int32_t kind;                // kContextPost or kContextOther
  MHD_PostProcessor* parser;   // POST only
  char* body;                  // "Parameter" collected so far, NUL-terminated (POST only)
  size_t length;
  size_t capacity;
  bool tooLong;                // "Parameter" went past kMaxParameterLength
  // Set while the request is parked and when its outcome came back.
  int32_t phase;               // kPhaseCollect, kPhaseParked or kPhaseAnswered
  MHD_Connection* connection;
  char* origin;                // the page's origin, for the answer's headers
  HalvorantJsonMap* answer;    // the delivered answer, until it is queued
  bool overBudget;             // the body would pass kMaxPendingBodyBytes
};
constexpr int32_t kContextPost = 1;
constexpr int32_t kContextOther = 2;
constexpr int32_t kPhaseCollect = 0;
constexpr int32_t kPhaseParked = 1;
constexpr int32_t kPhaseAnswered = 2;

// Wipes and releases a context and everything it owns; null is ignored.
void freeRequestContext(RequestContext* context);

// Main-thread window: how long one flagged request waits for the call before a heartbeat.
constexpr int kMainThreadWindowMs = 7000;

MHD_Result answer_to_connection(void* closure, MHD_Connection* connection, const char* url, const char* method,
                                const char* version, const char* upload_data, size_t* upload_data_size,
                                void** context);

// Form-field callback: appends the field "Parameter" to the request's body (closure is
// the RequestContext); other fields are ignored. MHD_NO once the field is too long.
MHD_Result iterate_post(void* closure, MHD_ValueKind kind, const char* key, const char* filename,
                        const char* content_type, const char* transfer_encoding, const char* data,
                        uint64_t offset, size_t size);

// Result codes of the front end.
constexpr int32_t kResultNoConnectionInfo = kResult_UNAVAILABLE;
constexpr int32_t kResultNotLocalHost = kResult_HOST_NOT_LOCAL;
constexpr int32_t kResultNoOrigin = kResult_ORIGIN_OR_USER;  // origin not determinable, or the console user changed

// The final phase of a POST (body complete): checks, processing, answer. *parked is set
// when the request was handed on and its answer comes later.
MHD_Result finishPost(MHD_Connection* connection, RequestContext* context, bool* parked);

// ---- Request rules (Rules.cpp): pure, no connection needed ----------------------------------------

enum TlsVerdict { kTlsAccepted, kTlsInsecure, kTlsUnknown };
// GnuTLS protocol number -> verdict and display text ("TLS 1.2", ...; null for unknown).
TlsVerdict classifyProtocol(int protocol, const char** text);

// Host header starts with "localhost:" or "127.0.0.1:" (case-sensitive; port not examined).
bool isLocalHost(const char* host);

// "scheme://authority" of a referer, printing the "UrlList[%d]: " lines; null (with the
// refusal's warning lines) when it has fewer than three "/"-pieces. Caller frees.
char* originFromReferer(const char* referer);

// The decoded body asks for the main thread ("HalvorantMainThread", "MainThread" or
// "KeepAlive" written as "key":true without spaces).
bool wantsMainThread(const char* body);

// ---- Answers (Response.cpp) ------------------------------------------------------------------------

struct AnswerHeader {
  const char* name;
  const char* value;
};
constexpr int kMaxAnswerHeaders = 6;

// The headers of an answer, in order. origin: the page's origin (null or empty when none);
// connection: the request's "Connection" header (null when absent). Returns the count.
int answerHeaders(int preflight, const char* origin, const char* connection, AnswerHeader out[kMaxAnswerHeaders]);

// Queues the answer. preflight 1: empty 204 answer with the CORS headers for the request's
// Origin header. preflight 0: answer (released here in every case) as JSON with Base64
// values and status 200, origin echoed when it is http(s); null answer sends nothing. The
// serialised text is wiped when the library lets go of it. MHD_NO when nothing was queued.
MHD_Result set_response(MHD_Connection* connection, int preflight, HalvorantJsonMap* answer, const char* origin);
