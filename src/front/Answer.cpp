// Final phase of a POST: TLS gate, Host rule, body, origin, console user, then the request
// is parked and handed to the worker or the main thread; its answer goes out when it comes.
#include <poll.h>

#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "front/MainThread.h"
#include "front/Worker.h"
#include "map/Json.h"
#include "platform/Platform.h"
#include "platform/Wipe.h"
#include "session/HalvorantSession.h"
#include "util/Site.h"
#include "util/Tool.h"

namespace {

const char kRule[] = "===============================================================================";
static_assert(sizeof kRule == 80, "79 characters");

// What one final phase owns; released at its end.
struct PostState {
  char* body = nullptr;     // decoded request text
  char* origin = nullptr;   // the page's origin as shown (answer headers, log lines)
  char* opaque = nullptr;   // for an opaque origin, the identity it acts under (Site.h)
  const char* referer = nullptr;  // the header's own text, valid during this phase
  HalvorantJsonMap* map = nullptr;
  HalvorantJsonMap* answer = nullptr;
  bool mainThread = false;
  bool userChanged = false;  // shut down once the refusal is queued

  // The origin requests are processed for: sessions, main-thread calls and values are its.
  const char* actor() const { return opaque != nullptr ? opaque : origin; }
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

  s->referer = header(connection, "referer");
  s->origin = newMem(header(connection, "origin"));
  if (s->origin == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return false;
  }
  printfColorLine("Referer: ", s->referer);
  printfColorLine("Origin: ", s->origin);
  if (s->origin[0] == '\0' || strcmp(s->origin, "null") == 0) {
    // A sandboxed frame sends "null" and its parent's page as Referer: the Referer names
    // it in the answer's headers and the log, but it acts as nobody else (Site.h).
    const bool opaque = s->origin[0] != '\0';
    printfColorWarningLine("Empty origin: ", s->origin);
    printfColorWarningLine("Extract origin from referer: ", "Start");
    char* origin = originFromReferer(s->referer);
    if (origin == nullptr) {
      s->answer = resultAnswer(kResultNoOrigin, nullptr);
      return false;
    }
    freeMem(s->origin);
    s->origin = origin;
    if (opaque) {
      const size_t size = sizeof kOpaqueOriginPrefix + strlen(origin);
      s->opaque = static_cast<char*>(newMemSize(size));
      if (s->opaque == nullptr) {
        HALVORANT_MEMORY_FAIL();
        return false;
      }
      snprintf(s->opaque, size, "%s%s", kOpaqueOriginPrefix, origin);
      printfColorWarningLine("Opaque origin acts apart as: ", s->opaque);
    }
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
  // Out of descriptors or memory the console user cannot be read, but nothing says it
  // changed: this request is refused and the service stays.
  if (!readable && platformConsoleUserBusy()) {
    printfColorWarningLine("", "Console user unreadable for want of system resources: request refused");
    s->answer = resultAnswer(kResultNoOrigin, nullptr);
    return false;
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

HalvorantJsonMap* heartbeatAnswer() { return resultAnswer(0, "heartbeat"); }

// Parking and delivery of a request that waits for the worker or the main thread. park
// runs on the listener's thread inside the handler; deliver on the thread that has the
// outcome, and the listener answers when the library calls the handler again.
void parkRequest(void* user) {
  auto* context = static_cast<RequestContext*>(user);
  context->phase = kPhaseParked;
  MHD_suspend_connection(context->connection);
}

void deliverRequest(void* user, HandOffOutcome outcome, HalvorantJsonMap* answer) {
  auto* context = static_cast<RequestContext*>(user);
  if (outcome == kHandOffHeartbeat) answer = heartbeatAnswer();
  if (outcome == kHandOffTimedOut) answer = resultAnswer(kResult_ADAPTER_TIMEOUT, nullptr);
  context->answer = answer;
  context->phase = kPhaseAnswered;
  MHD_resume_connection(context->connection);
}

// A parked request's page has gone: the library does not watch suspended connections,
// so the socket is looked at (peer closed or reset).
bool requestGone(void* user) {
  auto* context = static_cast<RequestContext*>(user);
  const MHD_ConnectionInfo* info = MHD_get_connection_info(context->connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  if (info == nullptr) return false;
  pollfd socket{info->connect_fd, POLLRDHUP, 0};
  return poll(&socket, 1, 0) == 1 && (socket.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Hands the admitted request on; true when it was parked (the answer comes later).
bool handOn(MHD_Connection* connection, RequestContext* context, PostState* s) {
  context->connection = connection;
  HandOff handOff{context, parkRequest, deliverRequest, requestGone, connection};
  if (!s->mainThread && processQuickRequest(s->map, s->actor(), &s->answer)) return false;
  HalvorantJsonMap* map = s->map;
  s->map = nullptr;  // the hand-off owns it now
  if (!s->mainThread) {
    int32_t refusal = 0;
    if (Worker_Submit(s->actor(), map, handOff, &refusal)) return true;
    if (refusal != 0) s->answer = resultAnswer(refusal, nullptr);
    return false;
  }
  HalvorantJsonMap* answer = nullptr;
  switch (MainThread_Await(s->actor(), map, kMainThreadWindowMs, handOff, &answer)) {
    case kAwaitParked:
      return true;
    case kAwaitAnswer:
      s->answer = answer;
      break;
    case kAwaitHeartbeat:
      printfColorLine("", "No result from component yet send heartbeat");
      s->answer = heartbeatAnswer();
      break;
    case kAwaitTimedOut:
      printfColorWarningLine("Main thread call abandoned after its time limit", "");
      s->answer = resultAnswer(kResult_ADAPTER_TIMEOUT, nullptr);
      break;
    case kAwaitRefused:
      s->answer = resultAnswer(kResult_ADAPTERS_STUCK, nullptr);
      break;
    case kAwaitClosed:
      break;
  }
  return false;
}


}  // namespace

MHD_Result finishPost(MHD_Connection* connection, RequestContext* context, bool* parked) {
  if (connection == nullptr || context == nullptr || parked == nullptr) {
    HALVORANT_NULL_WARNING(connection == nullptr ? "connection" : context == nullptr ? "context" : "parked");
    return MHD_NO;
  }
  PostState s;
  if (context->phase == kPhaseParked) return MHD_YES;  // not resumed yet
  if (context->phase == kPhaseAnswered) {
    // Back from the worker or the main thread.
    s.answer = context->answer;
    context->answer = nullptr;
    s.origin = context->origin;
    context->origin = nullptr;
  } else {
    printfColorLine("", "Release Mode");
    if (checkConnection(connection, &s) && checkRequest(connection, context, &s) && handOn(connection, context, &s)) {
      // Parked: the origin is kept for the answer's headers.
      context->origin = s.origin;
      s.origin = nullptr;
      freeMem(s.opaque);
      freeTextWiped(s.body);
      *parked = true;
      return MHD_YES;
    }
  }
  MHD_Result queued = set_response(connection, 0, s.answer, s.origin);
  // After queuing, so the page still gets its answer; the service loop does the rest.
  if (s.userChanged) requestFinal();
  freeMem(s.origin);
  freeMem(s.opaque);
  freeTextWiped(s.body);
  freeHalvorantJsonMap(s.map);
  printfColorTextLine(COLOR_BOLD, kRule);
  return queued;  // the handler flushes the console
}
