// Request handler: methods, the preflight rule and the collection of the POST body.
#include <atomic>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "platform/Wipe.h"
#include "map/Json.h"
#include "util/Tool.h"

namespace {

constexpr size_t kPostBufferSize = 8192;

std::atomic<size_t> g_bodyBytes{0};
std::atomic<size_t> g_bodyPeak{0};  // since memory was last given back

// What a body held in capacity bytes costs the shared budget.
size_t charged(size_t capacity) { return capacity > kUnchargedBodyBytes ? capacity : 0; }

// Reserves what a body of capacity bytes costs; false when that would pass the budget.
bool reserveBody(size_t capacity) {
  const size_t bytes = charged(capacity);
  if (bytes == 0) return true;
  size_t held = g_bodyBytes.load();
  do {
    if (bytes > kMaxPendingBodyBytes - held) return false;
  } while (!g_bodyBytes.compare_exchange_weak(held, held + bytes));
  size_t peak = g_bodyPeak.load();
  while (held + bytes > peak && !g_bodyPeak.compare_exchange_weak(peak, held + bytes)) {
  }
  return true;
}

// Gives back what a body of capacity bytes cost.
void releaseBody(size_t capacity) {
  const size_t bytes = charged(capacity);
  if (bytes == 0 || g_bodyBytes.fetch_sub(bytes) != bytes) return;
#if defined(__GLIBC__)
  // After a burst of big bodies the heap keeps its freed top; give it back once all
  // bodies are gone.
  constexpr size_t kTrimAfter = 4 * 1024 * 1024;
  if (g_bodyPeak.exchange(0) >= kTrimAfter) malloc_trim(0);
#endif
}

bool isPreflight(MHD_Connection* connection) {
  const char* method = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Access-Control-Request-Method");
  const char* network =
      MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Access-Control-Request-Private-Network");
  return method != nullptr && strcmp(method, "POST") == 0 && network != nullptr && strcmp(network, "true") == 0;
}

// Appends data to the context's body; false (tooLong set) past kMaxParameterLength.
bool appendBody(RequestContext* context, const char* data, size_t size) {
  if (size > kMaxParameterLength - context->length) {
    context->tooLong = true;
    return false;
  }
  size_t needed = context->length + size + 1;
  if (needed > context->capacity) {
    size_t capacity = context->capacity < 256 ? 256 : context->capacity;
    while (capacity < needed) capacity *= 2;
    if (!reserveBody(capacity)) {
      context->overBudget = true;
      return false;
    }
    char* grown = static_cast<char*>(newMemSize(capacity));
    if (grown == nullptr) {
      releaseBody(capacity);
      HALVORANT_MEMORY_FAIL();
      return false;
    }
    if (context->body != nullptr) {
      memcpy(grown, context->body, context->length);
      freeWiped(context->body, context->capacity);
      releaseBody(context->capacity);
    }
    context->body = grown;
    context->capacity = capacity;
  }
  memcpy(context->body + context->length, data, size);
  context->length += size;
  context->body[context->length] = '\0';
  return true;
}

}  // namespace

void freeRequestContext(RequestContext* context) {
  if (context == nullptr) return;
  if (context->parser != nullptr) MHD_destroy_post_processor(context->parser);
  if (context->body != nullptr) {
    freeWiped(context->body, context->capacity);
    releaseBody(context->capacity);
  }
  freeMem(context->origin);
  freeHalvorantJsonMap(context->answer);
  freeMem(context);
}

size_t pendingBodyBytes() { return g_bodyBytes.load(); }

MHD_Result iterate_post(void* closure, MHD_ValueKind kind, const char* key, const char* filename,
                        const char* content_type, const char* transfer_encoding, const char* data,
                        uint64_t offset, size_t size) {
  auto* context = static_cast<RequestContext*>(closure);
  if (context == nullptr || key == nullptr || strcmp(key, "Parameter") != 0) return MHD_YES;
  if (data == nullptr || size == 0) return MHD_YES;
  return appendBody(context, data, size) ? MHD_YES : MHD_NO;
}

namespace {

MHD_Result handle(MHD_Connection* connection, const char* method, const char* upload_data, size_t* upload_data_size,
                  void** context, bool* parked) {
  if (connection == nullptr || method == nullptr || upload_data_size == nullptr || context == nullptr) {
    HALVORANT_NULL_WARNING("connection");
    return MHD_NO;
  }
  // Shutdown has begun: whatever comes now is closed unprocessed.
  if (HalvorantStopping.load()) return MHD_NO;
  const bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;

  if (*context == nullptr) {
    auto* created = static_cast<RequestContext*>(newMemSize(sizeof(RequestContext)));
    if (created == nullptr) {
      HALVORANT_MEMORY_FAIL();
      return MHD_NO;
    }
    created->kind = post ? kContextPost : kContextOther;
    if (post) {
      // No parser: the body is not a form encoding the library reads.
      created->parser = MHD_create_post_processor(connection, kPostBufferSize, iterate_post, created);
      if (created->parser == nullptr) {
        freeRequestContext(created);
        return MHD_NO;
      }
    }
    *context = created;
    return MHD_YES;
  }
  auto* request = static_cast<RequestContext*>(*context);

  if (!post || request->kind != kContextPost) {
    if (strcmp(method, MHD_HTTP_METHOD_OPTIONS) == 0 && *upload_data_size == 0 && isPreflight(connection))
      return set_response(connection, 1, nullptr, nullptr);
    printfColorErrorLine("Request method error: ", method);
    return MHD_NO;
  }

  if (*upload_data_size != 0) {
    MHD_post_process(request->parser, upload_data, *upload_data_size);
    *upload_data_size = 0;
    if (request->tooLong) {
      printfColorWarningLine("Request body error: ", "Parameter too long");
      return MHD_NO;
    }
    if (request->overBudget) {
      printfColorWarningLine("Request body error: ", "Too much unfinished body data on all connections");
      return MHD_NO;
    }
    return MHD_YES;
  }
  return finishPost(connection, request, parked);
}

}  // namespace

MHD_Result answer_to_connection(void* closure, MHD_Connection* connection, const char* url, const char* method,
                                const char* version, const char* upload_data, size_t* upload_data_size,
                                void** context) {
  bool parked = false;
  MHD_Result result = handle(connection, method, upload_data, upload_data_size, context, &parked);
  // What this call printed is out before the answer (or the closed connection) reaches
  // the page. A request handed on waits: its lines leave with its answer's, in one write
  // (or with the service loop's flush at the latest). With nothing held this writes nothing.
  if (!parked) flushConsole();
  return result;
}
