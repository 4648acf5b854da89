// Request processing: session lookup or opening, built-in functions, adapter calls.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "diag/Console.h"
#include "map/Json.h"
#include "platform/Wipe.h"
#include "session/AdapterCall.h"
#include "session/AdapterLoad.h"
#include "session/HalvorantSession.h"
#include "session/HostInterface.h"
#include "session/SessionTable.h"
#include "util/Tool.h"
#include "value/HalvorantValue.h"
#include "util/ResultCodes.h"

namespace {

constexpr int32_t kValueUnavailable = kResult_UNAVAILABLE;
constexpr int32_t kValueMissing = kResult_MISSING_PARAMETER;
constexpr int32_t kServerTooOld = kResult_SERVER_TOO_OLD;
constexpr int32_t kAdapterTooOld = kResult_ADAPTER_TOO_OLD;
constexpr int kFunctionSize = 512;
constexpr int kVersionSize = 64;
constexpr int kInstallerSize = 512;

bool named(const char* functionName, const char* builtIn) { return strcasecmp(functionName, builtIn) == 0; }

bool isEcho(const char* functionName) { return named(functionName, "HalvorantEcho") || named(functionName, "Echo"); }

bool isRelease(const char* functionName) {
  return named(functionName, "HalvorantForceRelease") || named(functionName, "HalvorantClose") ||
         named(functionName, "HalvorantRelease");
}

// A numbered outcome replaces everything the answer held so far.
HalvorantJsonMap* resetAnswer(HalvorantJsonMap* answer, int line) {
  printfColorLine("reset Halvorant Json at file: ", HALVORANT_SOURCE);
  printfColorLine("reset Halvorant Json at line: ", line);
  freeHalvorantJsonMap(answer);
  HalvorantJsonMap* fresh = newHalvorantJsonMap();
  if (fresh == nullptr) HALVORANT_MEMORY_FAIL();
  return fresh;
}

HalvorantJsonMap* answerCode(HalvorantJsonMap* answer, int32_t code, int line) {
  answer = resetAnswer(answer, line);
  if (answer != nullptr) addHalvorantJsonMapUnit(answer, "result", code);
  return answer;
}

HalvorantJsonMap* answerText(HalvorantJsonMap* answer, const char* text, int line) {
  answer = resetAnswer(answer, line);
  if (answer != nullptr) addHalvorantJsonMapUnit(answer, "result", text);
  return answer;
}

bool versionAccepted(const char* minimum, const char* actual) {
  int32_t verdict = checkVersion(minimum, actual);
  return verdict == 0 || verdict == -1;
}

// ---- Built-in functions on an open session -------------------------------------------

HalvorantJsonMap* setValue(const HalvorantJsonMap* request, const char* origin, HalvorantJsonMap* answer) {
  char* channel = getHalvorantJsonCharType(request, "channel");
  char* domainList = getHalvorantJsonCharType(request, "domain_list");
  char* value = getHalvorantJsonCharType(request, "value");
  int32_t timeout = getHalvorantJsonIntType(request, "timeout");
  int32_t code = kValueMissing;
  if (channel != nullptr && domainList != nullptr && value != nullptr)
    code = HalvorantValue_set_value(channel, domainList, timeout, value, origin);
  freeMem(channel);
  freeMem(domainList);
  freeTextWiped(value);
  return answerCode(answer, code, __LINE__);
}

HalvorantJsonMap* getValue(const HalvorantJsonMap* request, const char* origin, HalvorantJsonMap* answer) {
  char* channel = getHalvorantJsonCharType(request, "channel");
  if (channel == nullptr) return answerCode(answer, kValueMissing, __LINE__);
  char* value = HalvorantValue_get_value(channel, origin);
  freeMem(channel);
  if (value == nullptr) return answerCode(answer, kValueUnavailable, __LINE__);
  answer = answerText(answer, value, __LINE__);
  freeTextWiped(value);
  return answer;
}

void addVersions(HalvorantJsonMap* answer, const HalvorantSessionSlot& slot) {
  addHalvorantJsonMapUnit(answer, "ServerVersion", HALVORANT_SERVER_VERSION);
  addHalvorantJsonMapUnit(answer, "LibVersion", slot.adapterVersion);
  if (slot.installerVersion != nullptr) addHalvorantJsonMapUnit(answer, "InstallerVersion", slot.installerVersion);
}

// ---- Adapter call ----------------------------------------------------------------------

// The calling thread holds slot index (busy). An exception escaping the adapter is a
// failed call, never the end of the service.
HalvorantJsonMap* callAdapter(int index, const HalvorantJsonMap* request, const char* functionName,
                              HalvorantJsonMap* answer) {
  const HalvorantSessionSlot& slot = SessionList[index];
  const char* text = nullptr;
  char* rebuilt = nullptr;  // kept until the result is copied: an adapter may answer with its input
  try {
    if (slot.callJsonMapMethod != nullptr) {
      text = slot.callJsonMapMethod(request, functionName);
    } else if (slot.callMethod != nullptr) {
      const char* json = request->jsonText;
      // A map built without text (an empty key stopped the reader) still reaches the
      // adapter with the parameters it holds.
      if (json == nullptr) json = rebuilt = getHalvorantMapString(request, false);
      text = slot.callMethod(json != nullptr ? json : "{}");
    }
  } catch (...) {
    printfColorErrorLine("Component result: ", "the adapter threw an exception");
    text = nullptr;
  }
  if (text == nullptr) {
    printfColorWarningLine("Component result: ", "No text");
    text = "";
  }
  const char* label = strchr(text, '\n') != nullptr ? " Component result:\n" : " Component result: ";
  if (getHalvorantJsonBoolType(request, "hide_result"))
    printfColorLine(label, COLOR_GREEN_138, std::string(strlen(text), '*').c_str());
  else
    printfColorLine(label, COLOR_GREEN_138, text);
  addHalvorantJsonMapUnit(answer, "result", text);
  freeMem(rebuilt);
  return answer;
}

// A late answer of a session that was abandoned meanwhile: nobody may see it.
HalvorantJsonMap* discard(HalvorantJsonMap* answer) {
  freeHalvorantJsonMap(answer);
  return nullptr;
}

// Under RequestLock (lock): the session at index, no thread but this one working with it.
HalvorantJsonMap* processOpenSession(std::unique_lock<std::mutex>& lock, int index, const HalvorantJsonMap* request,
                                     const char* origin, const char* functionName, HalvorantJsonMap* answer) {
  printfColorLine("Find the loaded adapter", "");
  HalvorantSessionSlot& slot = SessionList[index];
  const bool force = named(functionName, "HalvorantForceRelease");
  if (force) printfColorLine("Force release: ", "Active");
  if (force || named(functionName, "HalvorantClose") || named(functionName, "HalvorantRelease")) {
    if (!force && slot.browserMode == 1) {
      printfColorLine("[Browser mode] Skip release process", "");
    } else {
      printfColorLine("Release session index: ", index);
      HalvorantSession_holdLocked(index);
      lock.unlock();
      HalvorantSession_releaseSlot(index);
    }
    return answer;
  }
  if (named(functionName, "setHalvorantValue")) return setValue(request, origin, answer);
  if (named(functionName, "getHalvorantValue")) return getValue(request, origin, answer);
  if (isEcho(functionName)) {
    printfColorLine("Browser mode: ", "Active");
    addVersions(answer, slot);
    addHalvorantJsonMapUnit(answer, "result", 0);
    return answer;
  }
  const uint64_t generation = HalvorantSession_holdLocked(index);
  lock.unlock();
  answer = callAdapter(index, request, functionName, answer);
  lock.lock();
  return HalvorantSession_doneLocked(index, generation) ? answer : discard(answer);
}

// ---- Opening a session -----------------------------------------------------------------

void readInstallerVersion(HalvorantSessionSlot& slot, const char* installerName, HalvorantJsonMap* answer) {
  printfColorLine("InstallerName: ", installerName);
  char path[HALVORANT_FILE_PATH_SIZE];
  char version[kVersionSize] = {0};
  int length = snprintf(path, sizeof path, "%s/%sVersion.txt", SessionExecutePath, installerName);
  if (length < 0 || length >= static_cast<int>(sizeof path)) {
    printfColorWarningLine("InstallerVersionFile: ", "Path too long");
  } else {
    printfColorLine("InstallerVersionFile: ", path);
    ArrayCopyFree(version, sizeof version, readFile(path, "r"));
  }
  printfColorLine("InstallerVersion: ", version);
  addHalvorantJsonMapUnit(answer, "InstallerVersion", version);
  slot.installerVersion = newMem(static_cast<const char*>(version));
  if (slot.installerVersion == nullptr) HALVORANT_MEMORY_FAIL();
}

HalvorantJsonMap* openSession(const HalvorantJsonMap* request, const char* origin, const char* functionName,
                              const char* sessionId, HalvorantJsonMap* answer) {
  char libDir[HALVORANT_NAME_SIZE];
  char comName[HALVORANT_NAME_SIZE];
  int32_t code = HalvorantSession_resolveAdapter(request, libDir, comName);
  if (code != 0) return answerCode(answer, code, __LINE__);
  int index = HalvorantSession_claimSlot(sessionId, origin);
  if (index < 0) return answer;
  // The slot is this thread's (busy) until the end; generation tells whether it was
  // abandoned meanwhile (a library that stopped answering while loading or answering).
  HalvorantSessionSlot& slot = SessionList[index];
  const uint64_t generation = slot.generation;
  code = HalvorantSession_loadAdapter(index, libDir, comName);
  if (code != 0) return answerCode(answer, code, __LINE__);  // the slot is free again
  if (!HalvorantSession_stillHeld(index, generation)) return discard(answer);

  char version[kVersionSize];
  HalvorantSession_callService(&slot, "Halvorant_GetVersion", "-1", true, version, sizeof version);
  if (!HalvorantSession_stillHeld(index, generation)) return discard(answer);
  if (version[0] == '\0') {
    printfColorWarningLine("Init adapter: ", "Fail");
    HalvorantSession_releaseSlot(index);
    return answer;
  }
  slot.adapterVersion = newMem(static_cast<const char*>(version));
  if (slot.adapterVersion == nullptr) {
    HALVORANT_MEMORY_FAIL();
    HalvorantSession_releaseSlot(index);
    return answer;
  }
  int64_t versionCode = charToLong(version, true);
  if (!isCharToLongError() && versionCode >= kResultFirst && versionCode <= kResultLast) {
    printfColorWarningLine("Parse component version error: ", version);
    HalvorantSession_releaseSlot(index);
    return answerCode(answer, static_cast<int32_t>(versionCode), __LINE__);
  }
  printfColorLine("Extract component version: ", "Success");

  char installerName[kInstallerSize];
  char minServer[kVersionSize];
  char minLib[kVersionSize];
  HalvorantSession_readText(request, "InstallerName", installerName, sizeof installerName);
  sanitize_file_name(installerName, sizeof installerName);
  HalvorantSession_readText(request, "minServerVersion", minServer, sizeof minServer);
  HalvorantSession_readText(request, "minLibVersion", minLib, sizeof minLib);
  if (minLib[0] == '\0') ArrayCopy(minLib, sizeof minLib, "0.0.0.0");

  bool serverOk = versionAccepted(minServer, HALVORANT_SERVER_VERSION);
  addHalvorantJsonMapUnit(answer, "ServerVersion", HALVORANT_SERVER_VERSION);
  addHalvorantJsonMapUnit(answer, "LibVersion", version);
  printfColorWarningLine("Mini server version: ", minServer);
  printfColorWarningLine("Real server version: ", HALVORANT_SERVER_VERSION);
  if (!serverOk) {
    printfColorWarningLine("Verify server version: ", "Fail");
    HalvorantSession_releaseSlot(index);
    return answerCode(answer, kServerTooOld, __LINE__);
  }
  printfColorLine("Verify server version: ", "Pass");

  bool adapterOk = versionAccepted(minLib, version);
  printfColorWarningLine("Mini adapter version: ", minLib);
  printfColorWarningLine("Real adapter version: ", version);
  if (!adapterOk) {
    printfColorWarningLine("Verify adapter version: ", "Fail");
    HalvorantSession_releaseSlot(index);
    return answerCode(answer, kAdapterTooOld, __LINE__);
  }
  printfColorLine("Verify adapter version: ", "Pass");

  if (installerName[0] != '\0') readInstallerVersion(slot, installerName, answer);

  if (isEcho(functionName)) {
    slot.browserMode = getHalvorantJsonLongType(request, "HalvorantMode") == 1 ? 1 : 0;
    addHalvorantJsonMapUnit(answer, "result", 0);
  } else {
    answer = callAdapter(index, request, functionName, answer);
  }
  std::lock_guard<std::mutex> guard(RequestLock);
  return HalvorantSession_doneLocked(index, generation) ? answer : discard(answer);
}

// Under RequestLock (lock): the open session of origin that requestId names, once no
// other thread works with it (waiting releases the lock); -1 when there is none.
int awaitSession(std::unique_lock<std::mutex>& lock, const char* requestId, const char* origin) {
  for (;;) {
    int index = HalvorantSession_findSession(requestId, origin);
    if (index < 0) return -1;
    const HalvorantSessionSlot& slot = SessionList[index];
    if (slot.busy == 0 || pthread_equal(slot.holder, pthread_self())) return index;
    // Its holder ends within its call limit, or is abandoned then (and the slot with it).
    SessionFree.wait(lock);
  }
}

bool isQuickLocked(const HalvorantJsonMap* request, const char* origin) {
  const char* functionName = nullptr;
  const char* id = nullptr;
  if (origin == nullptr || !peekHalvorantJsonText(request, "FunctionName", &functionName) || functionName == nullptr ||
      !peekHalvorantJsonText(request, "SessionId", &id))
    return false;
  // Read as processing reads them: cut to the buffers it uses.
  char name[kFunctionSize];
  char requestId[HALVORANT_SESSION_ID_SIZE];
  copyBounded(name, sizeof name, functionName);
  copyBounded(requestId, sizeof requestId, id != nullptr ? id : "");
  const int index = HalvorantSession_findSession(requestId, origin);
  if (index < 0) return isRelease(name);
  if (SessionList[index].busy != 0) return false;
  return isEcho(name) || named(name, "setHalvorantValue") || named(name, "getHalvorantValue");
}

// The whole request; with quickOnly, only when it is quick (*done tells), entirely under
// the lock.
HalvorantJsonMap* process(HalvorantJsonMap* request, char* origin, bool quickOnly, bool* done) {
  if (request == nullptr) {
    HALVORANT_NULL_WARNING("JsonMap");
    return nullptr;
  }
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("Origin");
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(RequestLock);
  if (quickOnly && !isQuickLocked(request, origin)) return nullptr;
  if (done != nullptr) *done = true;
  HalvorantHostOriginScope hostOrigin(origin);  // what HalvorantHost_Origin() answers adapters
  HalvorantJsonMap* answer = newHalvorantJsonMap();
  if (answer == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  showHalvorantJsonMap(request);
  // Shown once: decoding its parameters below does not list it again.
  struct DisplayedMark {
    const HalvorantJsonMap* before;
    ~DisplayedMark() { setHalvorantDisplayedMap(before); }
  } mark{setHalvorantDisplayedMap(request)};

  char requestId[HALVORANT_SESSION_ID_SIZE];
  char sessionId[HALVORANT_SESSION_ID_SIZE] = {0};
  HalvorantSession_readText(request, "SessionId", requestId, sizeof requestId);
  int index = -1;
  if (requestId[0] != '\0') {
    index = awaitSession(lock, requestId, origin);
    ArrayCopy(sessionId, sizeof sessionId, index >= 0 ? SessionList[index].sessionId : requestId);
  } else {
    char* fresh = HalvorantSession_newSessionId();
    // Without a fresh identifier no session can be opened: the answer stays empty.
    if (fresh == nullptr) return answer;
    ArrayCopy(sessionId, sizeof sessionId, fresh);
    freeMem(fresh);
    addHalvorantJsonMapUnit(answer, "SessionID", sessionId);
  }
  printfColorLine("Session id: ", sessionId);

  char functionName[kFunctionSize];
  HalvorantSession_readText(request, "FunctionName", functionName, sizeof functionName);
  if (index >= 0) return processOpenSession(lock, index, request, origin, functionName, answer);
  if (isRelease(functionName)) {
    printfColorLine("No specific adapter to release", "");
    // Lets a page learn the service's version without opening an adapter session.
    addHalvorantJsonMapUnit(answer, "ServerVersion", HALVORANT_SERVER_VERSION);
    return answer;
  }
  lock.unlock();
  return openSession(request, origin, functionName, sessionId, answer);
}

}  // namespace

bool HalvorantSession_IsQuick(const HalvorantJsonMap* request, const char* origin) {
  return isQuickLocked(request, origin);
}

HalvorantJsonMap* HalvorantSession_Process(uint32_t processNumber, HalvorantJsonMap* request, char* origin,
                                           int* resultLength) {
  return process(request, origin, false, nullptr);
}

HalvorantJsonMap* HalvorantSession_ProcessIfQuick(HalvorantJsonMap* request, char* origin, bool* done) {
  if (done != nullptr) *done = false;
  return process(request, origin, true, done);
}

void HalvorantSession_OrderKey(const HalvorantJsonMap* request, const char* origin, char* key, unsigned size) {
  if (key == nullptr || size == 0) return;
  key[0] = '\0';
  if (request == nullptr || origin == nullptr) return;
  const char* id = nullptr;
  char requestId[HALVORANT_SESSION_ID_SIZE];
  // A flagged (encoded) identifier is not decoded here: all of them share one order.
  const bool plain = peekHalvorantJsonText(request, "SessionId", &id);
  copyBounded(requestId, sizeof requestId, plain ? (id != nullptr ? id : "") : "\x01flagged");
  if (requestId[0] == '\0') return;
  std::lock_guard<std::mutex> guard(RequestLock);
  const int index = HalvorantSession_findSession(requestId, origin);
  snprintf(key, size, "%s\n%s", origin, index >= 0 ? SessionList[index].sessionId : requestId);
}
