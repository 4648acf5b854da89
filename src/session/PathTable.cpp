// Built-in path table, name cleaning and adapter resolution.
#include <strings.h>

#include <cstring>

#include "diag/Console.h"
#include "map/Json.h"
#include "session/AdapterLoad.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

namespace {

struct PathRow {
  const char* pathId;
  const char* libDir;
  const char* comName;
};

constexpr PathRow kPathTable[] = {
    {"3A61F0B2C94E4D7B8E05A1C2D3F40516", "Nox", "NoxCryptAdapter"},
    {"5B72E1C3DA5F4E8C9F16B2D3E4051627", "Nox", "NoxPkiCryptAdapter"},
    {"6C83F2D4EB604F9DA027C3E4F5162738", "Nox", "NoxIdAdapter"},
};

constexpr char kUnsafe[] = "<>:\"/\\|?*;&$";

}  // namespace

void sanitize_file_name(char* text, size_t size) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("text");
    return;
  }
  if (size == 0) return;
  size_t kept = 0;
  for (size_t i = 0; i < size && text[i] != '\0'; ++i)
    if (strchr(kUnsafe, text[i]) == nullptr) text[kept++] = text[i];
  if (kept == 2 && text[0] == '.' && text[1] == '.') kept = 0;
  if (kept == size) kept = size - 1;  // an unterminated buffer is cut, not overrun
  memset(text + kept, 0, size - kept);
}

void HalvorantSession_searchPathTable(const char* pathId, char* libDir, char* comName) {
  if (pathId == nullptr) HALVORANT_NULL_WARNING("PathID");
  if (libDir == nullptr) HALVORANT_NULL_WARNING("LibDir");
  if (comName == nullptr) HALVORANT_NULL_WARNING("ComName");
  if (pathId == nullptr || libDir == nullptr || comName == nullptr) return;
  for (const PathRow& row : kPathTable) {
    if (strcasecmp(pathId, row.pathId) != 0) continue;
    memset(libDir, 0, HALVORANT_NAME_SIZE);
    ArrayCopy(libDir, HALVORANT_NAME_SIZE, row.libDir);
    memset(comName, 0, HALVORANT_NAME_SIZE);
    ArrayCopy(comName, HALVORANT_NAME_SIZE, row.comName);
    return;
  }
}

bool HalvorantSession_isInPathTable(const char* libDir, const char* comName) {
  if (libDir == nullptr) HALVORANT_NULL_WARNING("LibDir");
  if (comName == nullptr) HALVORANT_NULL_WARNING("ComName");
  if (libDir == nullptr || comName == nullptr) return false;
  for (const PathRow& row : kPathTable) {
    bool match = strcasecmp(libDir, row.libDir) == 0 && strcasecmp(comName, row.comName) == 0;
    printfColorWarningLine("Path table compare: ", match ? "Success" : "Fail");
    printfColorWarningLine("Lib: ", row.libDir);
    printfColorWarningLine("Component: ", row.comName);
    if (match) return true;
  }
  return false;
}

int32_t HalvorantSession_resolveAdapter(const HalvorantJsonMap* request, char* libDir, char* comName) {
  if (request == nullptr || libDir == nullptr || comName == nullptr) {
    HALVORANT_NULL_WARNING(request == nullptr ? "JsonMap" : libDir == nullptr ? "LibDir" : "ComName");
    return HALVORANT_NO_ADAPTER_NAME;
  }
  char pathId[HALVORANT_PATH_ID_SIZE];
  HalvorantSession_readText(request, "PathID", pathId, sizeof pathId);
  HalvorantSession_readText(request, "LibDir", libDir, HALVORANT_NAME_SIZE);
  HalvorantSession_readText(request, "ComName", comName, HALVORANT_NAME_SIZE);
  sanitize_file_name(libDir, HALVORANT_NAME_SIZE);
  sanitize_file_name(comName, HALVORANT_NAME_SIZE);
  printfColorLine("Adapter folder: ", libDir);
  printfColorLine("Adapter name: ", comName);

  if (pathId[0] == '\0') {
    printfColorLine("Path id check location mode: ", "Active");
    if (!HalvorantSession_isInPathTable(libDir, comName)) {
      printfColorLine("Out of path table connection: ", "Reject");
      return HALVORANT_NO_ADAPTER_NAME;
    }
  } else {
    printfColorLine("Path id mode: ", "Active");
    HalvorantSession_searchPathTable(pathId, libDir, comName);
  }
  if (libDir[0] == '\0' || comName[0] == '\0') {
    printfColorLine("No path information connection: ", "Reject");
    return HALVORANT_NO_ADAPTER_NAME;
  }
  return 0;
}
