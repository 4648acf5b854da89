// Answers: the JSON answer of a POST and the empty answer of a preflight, with their headers.
#include <strings.h>

#include <cstring>

#include "diag/Console.h"
#include "front/HalvorantHttp.h"
#include "map/Json.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

// The library releases the answer text after sending it; nothing readable stays behind.
void wipeAnswerText(void* text) { freeTextWiped(static_cast<char*>(text)); }

MHD_Result queueWithHeaders(MHD_Connection* connection, MHD_Response* response, unsigned status, int preflight,
                            const char* origin) {
  AnswerHeader headers[kMaxAnswerHeaders];
  const char* keepAlive = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONNECTION);
  int count = answerHeaders(preflight, origin, keepAlive, headers);
  for (int i = 0; i < count; ++i) MHD_add_response_header(response, headers[i].name, headers[i].value);
  MHD_Result queued = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return queued;
}

}  // namespace

int answerHeaders(int preflight, const char* origin, const char* connection, AnswerHeader out[kMaxAnswerHeaders]) {
  if (out == nullptr) return 0;
  int count = 0;
  // Never "*": only a web page's own origin is echoed.
  if (origin != nullptr && strncmp(origin, "http", 4) == 0) out[count++] = {"Access-Control-Allow-Origin", origin};
  if (connection != nullptr && strcasecmp(connection, "keep-alive") == 0)
    out[count++] = {"Keep-Alive", "timeout=15, max=100"};
  if (preflight) {
    out[count++] = {"Access-Control-Allow-Methods", "POST"};
    out[count++] = {"Access-Control-Allow-Private-Network", "true"};
    out[count++] = {"Access-Control-Max-Age", "30"};
  } else {
    out[count++] = {"X-XSS-Protection", "1; mode=block"};
  }
  return count;
}

MHD_Result set_response(MHD_Connection* connection, int preflight, HalvorantJsonMap* answer, const char* origin) {
  if (connection == nullptr) {
    HALVORANT_NULL_WARNING("connection");
    freeHalvorantJsonMap(answer);
    return MHD_NO;
  }
  if (preflight) {
    freeHalvorantJsonMap(answer);
    MHD_Response* response = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
    if (response == nullptr) return MHD_NO;
    // Headers only: a query argument or cookie named "origin" is the page's, not the browser's.
    const char* requestOrigin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "origin");
    return queueWithHeaders(connection, response, MHD_HTTP_NO_CONTENT, 1, requestOrigin);
  }

  if (answer == nullptr) return MHD_NO;
  char* text = getHalvorantMapString(answer, true);
  freeHalvorantJsonMap(answer);
  if (text == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return MHD_NO;
  }
  MHD_Response* response = MHD_create_response_from_buffer_with_free_callback(strlen(text), text, wipeAnswerText);
  if (response == nullptr) {
    wipeAnswerText(text);
    return MHD_NO;
  }
  return queueWithHeaders(connection, response, MHD_HTTP_OK, 0, origin);
}
