// The service's own calls to an adapter. An exception escaping the adapter counts as no
// answer: it never reaches the thread that called.
#include "session/AdapterCall.h"

#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "map/Json.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

int HalvorantSession_callService(const HalvorantSessionSlot* slot, const char* functionName,
                                 const char* functionIndex, bool allowString, char* out, unsigned size) {
  if (out != nullptr && size > 0) out[0] = '\0';
  if (slot == nullptr || functionName == nullptr || functionIndex == nullptr) {
    HALVORANT_NULL_WARNING(slot == nullptr ? "slot" : functionName == nullptr ? "functionName" : "functionIndex");
    return 0;
  }
  const char* answer = nullptr;
  if (slot->callJsonMapMethod != nullptr) {
    HalvorantJsonMap* query = newHalvorantJsonMap();
    if (query == nullptr) {
      HALVORANT_MEMORY_FAIL();
      return -1;
    }
    addHalvorantJsonMapUnit(query, "functionname", functionName);
    addHalvorantJsonMapUnit(query, "AdapterJsonKeyCheck", "true");
    addHalvorantJsonMapUnit(query, "HalvorantFunctionIndex", functionIndex);
    if (query->count != 3) {  // an entry could not be copied
      freeHalvorantJsonMap(query);
      HALVORANT_MEMORY_FAIL();
      return -1;
    }
    try {
      answer = slot->callJsonMapMethod(query, functionName);
    } catch (...) {
      printfColorErrorLine(functionName, ": the adapter threw an exception");
      answer = nullptr;
    }
    if (out != nullptr) ArrayCopy(out, size, answer);
    freeHalvorantJsonMap(query);
    return 1;
  }
  if (!allowString || slot->callMethod == nullptr) return 0;
  // Function names are the service's own constants: no escaping is needed.
  char json[256];
  int length = snprintf(json, sizeof json,
                        "{\"functionname\":\"%s\",\"AdapterJsonKeyCheck\":\"true\",\"HalvorantFunctionIndex\":\"%s\"}",
                        functionName, functionIndex);
  if (length < 0 || static_cast<size_t>(length) >= sizeof json) return 0;
  try {
    answer = slot->callMethod(json);
  } catch (...) {
    printfColorErrorLine(functionName, ": the adapter threw an exception");
    answer = nullptr;
  }
  if (out != nullptr) ArrayCopy(out, size, answer);
  return 1;
}
