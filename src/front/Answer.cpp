// Final phase of a POST: TLS gate, Host rule, body, origin, console user, then request
// processing directly or on the main thread with heartbeats.
#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "map/Json.h"
#include "platform/Platform.h"
#include "platform/Wipe.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

std::atomic<int32_t> iHeartBeats{0};

namespace {

const char kRule[] = "===============================================================================";
static_assert(sizeof kRule == 80, "79 characters");

// True from the start of a main-thread call until its result has been handed to a page.
// Guarded by g_slotLock, which flagged requests take instead of RequestLock to decide
// whether to start a call or to join the outstanding one: RequestLock is held by the
// main thread for the whole call. Order: g_slotLock before RequestLock.
std::mutex g_slotLock;
bool g_callOutstanding = false;

// What one final phase owns; released at its end.
struct PostState {
  char* body = nullptr;     // decoded request text
  char* origin = nullptr;   // the page's origin as used for processing
  char* referer = nullptr;
  HalvorantJsonMap* map = nullptr;
  HalvorantJsonMap* answer = nullptr;
  bool mainThread = false;
  bool userChanged = false;  // shut down once the refusal is queued
};

HalvorantJsonMap* resultAnswer(int32_t code, const char* text) {
  HalvorantJsonMap* map = newHalvorantJsonMap();
  if (map == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  if (text != nullptr) {
    addHalvorantJsonMapUnit(map, "result", text);
  } else {
    addHalvorantJsonMapUnit(map, "result", code);
  }
  return map;
}

const char* header(MHD_Connection* connection, const char* name) {
  // Headers only: a query argument or cookie of the same name must not stand in for them.
  const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  return value != nullptr ? value : "";
}

// TLS version and Host; false with the answer set (or none) when refused.
bool checkConnection(MHD_Connection* connection, PostState* s) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_PROTOCOL);
  if (info == nullptr) {
    printfColorWarningLine("", "Get connection information error");
    s->answer = resultAnswer(kResultNoConnectionInfo, nullptr);
    return false;
  }
  const char* version = nullptr;
  switch (classifyProtocol(info->protocol, &version)) {
    case kTlsAccepted:
      printfColorLine("TLS version: ", version);
      break;
    case kTlsInsecure:
      printfColorWarningLine("Insecure connection: ", version);
      return false;
    case kTlsUnknown:
      printfColorWarningLine("Insecure connection: ", "Unknow connection protocol");
      printfColorWarningLine("", info->protocol);
      return false;
  }
  char host[64];
  ArrayCopy(host, sizeof host, header(connection, "host"));
  printfColorLine("Host: ", host);
  if (!isLocalHost(host)) {
    printfColorWarningLine("", "This connection is NOT from localhost");
    s->answer = resultAnswer(kResultNotLocalHost, nullptr);
    return false;
  }
  return true;
}

// Body, origin and console user; false with the answer set (or none) when refused.
bool checkRequest(MHD_Connection* connection, RequestContext* context, PostState* s) {
  s->body = Base64Decode(context->body != nullptr ? context->body : "");
  wipeMemory(context->body, context->length);
  context->length = 0;
  if (s->body == nullptr || (s->map = getHalvorantJsonMap(s->body)) == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return false;
  }

  s->referer = newMem(header(connection, "referer"));
  s->origin = newMem(header(connection, "origin"));
  if (s->referer == nullptr || s->origin == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return false;
  }
  printfColorLine("Referer: ", s->referer);
  printfColorLine("Origin: ", s->origin);
  if (s->origin[0] == '\0' || strcmp(s->origin, "null") == 0) {
    printfColorWarningLine("Empty origin: ", s->origin);
    printfColorWarningLine("Extract origin from referer: ", "Start");
    char* origin = originFromReferer(s->referer);
    if (origin == nullptr) {
      s->answer = resultAnswer(kResultNoOrigin, nullptr);
      return false;
    }
    freeMem(s->origin);
    s->origin = origin;
  }

  s->mainThread = wantsMainThread(s->body);

  int32_t user = -1;
  bool readable = platformConsoleUser(&user);
  printfColorLine("Org_User: ", uid);
  if (readable) {
    printfColorLine("Check_User: ", user);
  } else {
    printfColorWarningLine("Check_User: ", "Unknown");
  }
  // An unreadable console user counts as a change: nobody verifiable owns the console.
  if (!readable || user != uid) {
    printfColorWarningLine("", "Not Same User!!Halvorant will turn off");
    s->answer = resultAnswer(kResultNoOrigin, nullptr);
    s->userChanged = true;
    return false;
  }
  return true;
}

void processDirectly(PostState* s) {
  std::lock_guard<std::mutex> guard(RequestLock);
  int32_t length = 0;
  s->answer = HalvorantSession_Process(HalvorantProcessID, s->map, s->origin, &length);
}

// Starts the call in the slot (or joins the outstanding one), waits for it up to the window,
// then takes its result or answers a heartbeat.
void processOnMainThread(PostState* s) {
  {
    std::lock_guard<std::mutex> slot(g_slotLock);
    if (!g_callOutstanding) {
      // No call is outstanding, so the main thread leaves the slot alone.
      std::lock_guard<std::mutex> guard(RequestLock);
      freeHalvorantJsonMap(JsonMap);
      JsonMap = s->map;
      s->map = nullptr;
      freeMem(Origin);
      Origin = newMem(s->origin);
      freeHalvorantJsonMap(result);
      result = nullptr;
      g_callOutstanding = true;
      printfColorLine("Start main thread", "");
      requestMainThreadCall();
    } else {
      // A call is running, or its result waits: this request's parameters are not used.
      printfColorLine("Wait main thread result", "");
    }
  }

  bool finished = waitMainThreadCall(kMainThreadWindowMs);
  if (finished) {
    printfColorLine("Main thread mode finish!", "");
    std::lock_guard<std::mutex> slot(g_slotLock);
    // The flag again: meanwhile another request may have taken this result and started
    // the next call, which holds RequestLock until it returns.
    if (g_callOutstanding && isCallMainThreadFinish.load()) {
      std::lock_guard<std::mutex> guard(RequestLock);  // free: the call has returned
      s->answer = result;
      result = nullptr;
      freeHalvorantJsonMap(JsonMap);
      JsonMap = nullptr;
      freeMem(Origin);
      Origin = nullptr;
      g_callOutstanding = false;
      iHeartBeats.store(0);
      return;
    }
  }
  // Still running; or its result went to a request that waited with this one, and the
  // page's next try starts its own call.
  printfColorLine("", "No result from component yet send heartbeat");
  s->answer = resultAnswer(0, "heartbeat");
  if (!finished) iHeartBeats.fetch_add(1);
}


}  // namespace

MHD_Result finishPost(MHD_Connection* connection, RequestContext* context) {
  if (connection == nullptr || context == nullptr) {
    HALVORANT_NULL_WARNING(connection == nullptr ? "connection" : "context");
    return MHD_NO;
  }
  printfColorLine("", "Release Mode");
  PostState s;
  if (checkConnection(connection, &s) && checkRequest(connection, context, &s)) {
    if (s.mainThread) {
      processOnMainThread(&s);
    } else {
      processDirectly(&s);
    }
  }
  MHD_Result queued = set_response(connection, 0, s.answer, s.origin);
  if (s.userChanged) HalvorantFinal();  // after queuing, so the page still gets its answer
  freeMem(s.origin);
  freeMem(s.referer);
  freeTextWiped(s.body);
  freeHalvorantJsonMap(s.map);
  flockfile(stdout);
  printfColor(COLOR_BOLD, kRule);
  fputc('\n', stdout);
  funlockfile(stdout);
  return queued;  // the handler flushes the console
}
