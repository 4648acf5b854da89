// Request processing: session lookup or opening, built-in functions, adapter calls.
#include <strings.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "diag/Console.h"
#include "map/Json.h"
#include "platform/Wipe.h"
#include "session/AdapterCall.h"
#include "session/AdapterLoad.h"
#include "session/HalvorantSession.h"
#include "session/HostOrigin.h"
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

HalvorantJsonMap* callAdapter(int index, const HalvorantJsonMap* request, const char* functionName,
                              HalvorantJsonMap* answer) {
  const HalvorantSessionSlot& slot = SessionList[index];
  const char* text = nullptr;
  char* rebuilt = nullptr;  // kept until the result is copied: an adapter may answer with its input
  if (slot.callJsonMapMethod != nullptr) {
    text = slot.callJsonMapMethod(request, functionName);
  } else if (slot.callMethod != nullptr) {
    const char* json = request->jsonText;
    // A map built without text (an empty key stopped the reader) still reaches the
    // adapter with the parameters it holds.
    if (json == nullptr) json = rebuilt = getHalvorantMapString(request, false);
    text = slot.callMethod(json != nullptr ? json : "{}");
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

HalvorantJsonMap* processOpenSession(int index, const HalvorantJsonMap* request, const char* origin,
                                     const char* functionName, HalvorantJsonMap* answer) {
  printfColorLine("Find the loaded adapter", "");
  HalvorantSessionSlot& slot = SessionList[index];
  if (named(functionName, "HalvorantForceRelease")) {
    printfColorLine("Force release: ", "Active");
    printfColorLine("Release session index: ", index);
    HalvorantSession_releaseSlot(index);
    return answer;
  }
  if (named(functionName, "HalvorantClose") || named(functionName, "HalvorantRelease")) {
    if (slot.browserMode == 1) {
      printfColorLine("[Browser mode] Skip release process", "");
    } else {
      printfColorLine("Release session index: ", index);
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
  return callAdapter(index, request, functionName, answer);
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
  code = HalvorantSession_loadAdapter(index, libDir, comName);
  if (code != 0) return answerCode(answer, code, __LINE__);
  HalvorantSessionSlot& slot = SessionList[index];

  char version[kVersionSize];
  HalvorantSession_callService(&slot, "Halvorant_GetVersion", "-1", true, version, sizeof version);
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
    return answer;
  }
  return callAdapter(index, request, functionName, answer);
}

}  // namespace

bool HalvorantSession_IsQuick(const HalvorantJsonMap* request, const char* origin) {
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
  const bool open = HalvorantSession_findSession(requestId, origin) >= 0;
  if (!open) return isRelease(name);
  return isEcho(name) || named(name, "setHalvorantValue") || named(name, "getHalvorantValue");
}

HalvorantJsonMap* HalvorantSession_Process(uint32_t processNumber, HalvorantJsonMap* request, char* origin,
                                           int* resultLength) {
  if (request == nullptr) {
    HALVORANT_NULL_WARNING("JsonMap");
    return nullptr;
  }
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("Origin");
    return nullptr;
  }
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
    index = HalvorantSession_findSession(requestId, origin);
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
  if (index >= 0) return processOpenSession(index, request, origin, functionName, answer);
  if (isRelease(functionName)) {
    printfColorLine("No specific adapter to release", "");
    // Lets a page learn the service's version without opening an adapter session.
    addHalvorantJsonMapUnit(answer, "ServerVersion", HALVORANT_SERVER_VERSION);
    return answer;
  }
  return openSession(request, origin, functionName, sessionId, answer);
}
