// Every result code of the service, in one place.
//
// Pages receive these as decimal text under "result"; the numbers are fixed by what pages
// already rely on, so one number can carry several meanings (61001, 61005): the meaning
// column lists them all. Scope "page": a page can receive it in an answer. Scope
// "internal": a module's last-error value, never sent to a page.
//
// The JavaScript client's table (clients/js/codes.js) and the page authors' table
// (docs/page-authors.md) are checked against this list by a test; edit all three together.
// One entry per line, in the form NOX_RESULT(code, NAME, scope, "meaning").
// Inside the service 61001 is also a null argument (version comparison, log switch) and
// 61005 an empty version part; neither reaches a page under those meanings.
#pragma once
#include <cstdint>

#define NOX_RESULT_CODES(NOX_RESULT)                                                                      \
  NOX_RESULT(0, OK, page, "Success.")                                                                    \
  NOX_RESULT(61001, UNAVAILABLE, page, "The service could not read the connection, or could not produce the stored value.") \
  NOX_RESULT(61003, NOT_A_NUMBER, internal, "A text that should be a number is not one.")                \
  NOX_RESULT(61004, NULL_TEXT, internal, "A text argument was missing.")                                 \
  NOX_RESULT(61005, MISSING_PARAMETER, page, "A value store request lacks \"channel\", \"domain_list\" or \"value\", or has a negative timeout or an unusable domain list.") \
  NOX_RESULT(61009, NO_ADAPTER, page, "No usable adapter: the PathID is unknown and LibDir/ComName are not in the path table.") \
  NOX_RESULT(61012, ORIGIN_OR_USER, page, "The page origin could not be determined, or the logged-in user changed (the service shuts down).") \
  NOX_RESULT(61016, JSON_KEY_MISSING, internal, "A key looked up in a parameter map is not there.")      \
  NOX_RESULT(61019, VALUE_STORE_FULL, page, "The value store is full (16 channels that have not expired).") \
  NOX_RESULT(61020, VALUE_NOT_ENCRYPTED, page, "The value could not be encrypted for storage.")           \
  NOX_RESULT(61203, SERVER_TOO_OLD, page, "The service is older than minServerVersion, or the versions cannot be compared.") \
  NOX_RESULT(61204, ADAPTER_TOO_OLD, page, "The adapter is older than minLibVersion, or the versions cannot be compared.") \
  NOX_RESULT(61902, ADAPTER_NOT_LOADED, page, "The adapter library could not be loaded.")                \
  NOX_RESULT(61904, HOST_NOT_LOCAL, page, "The request did not address localhost or 127.0.0.1.")         \
  NOX_RESULT(61906, NO_ENTRY_POINT, page, "The adapter library exports no usable entry point.")          \
  NOX_RESULT(61907, SESSION_QUEUE_FULL, page, "Too many requests of this session are waiting; send the next one after an answer.") \
  NOX_RESULT(61908, ADAPTER_TIMEOUT, page, "The adapter did not answer within its time limit; the session was closed.") \
  NOX_RESULT(61909, ADAPTERS_STUCK, page, "Adapter work is refused: too many adapter calls, or the main-thread call, stopped answering; restart the service.")

// Any other code from 61000 to 61999 that a page receives is the adapter's answer to the
// version query, passed on unchanged.
constexpr int32_t kResultFirst = 61000;
constexpr int32_t kResultLast = 61999;

enum NoxResult : int32_t {
#define NOX_RESULT_ENUM(code, name, scope, meaning) kResult_##name = code,
  NOX_RESULT_CODES(NOX_RESULT_ENUM)
#undef NOX_RESULT_ENUM
};

struct NoxResultInfo {
  int32_t code;
  const char* name;
  bool page;  // a page can receive it
  const char* meaning;
};

constexpr NoxResultInfo kNoxResults[] = {
#define NOX_RESULT_INFO(code, name, scope, meaning) {code, #name, #scope[0] == 'p', meaning},
    NOX_RESULT_CODES(NOX_RESULT_INFO)
#undef NOX_RESULT_INFO
};

// The entry of code, or null.
inline const NoxResultInfo* noxResultInfo(int32_t code) {
  for (const NoxResultInfo& info : kNoxResults)
    if (info.code == code) return &info;
  return nullptr;
}
