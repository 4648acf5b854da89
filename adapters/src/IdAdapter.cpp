// NoxIdAdapter: an electronic-ID reader without hardware behind it.
//
// Functions:
//   "GetCardStatus"  -> "no card present"
//   "ListReaders"    -> "[]" (JSON text: no reader attached)
// Failures answer "error: <reason>".
#include "AdapterKit.h"

using adapterkit::answer;
using adapterkit::error;
using adapterkit::sameName;

namespace {
constexpr const char* kVersion = "1.0.0.1";
}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) return answer("0");
  if (sameName(functionName, "GetCardStatus")) return answer("no card present");
  if (sameName(functionName, "ListReaders")) return answer("[]");
  return error("unknown function");
}
