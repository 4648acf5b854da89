// Release of a session: adapter told, library unloaded, own copy deleted, slot emptied.
#include <cstring>

#include "diag/Console.h"
#include "session/AdapterCall.h"
#include "session/HalvorantSession.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

namespace {

void releaseText(const char* label, char*& text) {
  printfColorLine(label, text);
  freeMem(text);
  text = nullptr;
}

// Only a file directly inside the copy directory can be a session's copy.
bool insideCopyDirectory(const char* path) {
  size_t length = strlen(SessionCopyPath);
  if (length == 0 || strncmp(path, SessionCopyPath, length) != 0 || path[length] != '/') return false;
  return path[length + 1] != '\0' && strchr(path + length + 1, '/') == nullptr;
}

}  // namespace

void HalvorantSession_freeSession(int index) {
  if (index < 0 || index >= HALVORANT_SESSION_SLOTS) return;
  HalvorantSessionSlot& slot = SessionList[index];
  if (slot.sessionId == nullptr) return;

  slot.browserMode = 0;
  releaseText("Release Session id: ", slot.sessionId);
  releaseText("Release AdapterName: ", slot.adapterName);
  releaseText("Release Adapter Version: ", slot.adapterVersion);
  releaseText("Release Installer Version: ", slot.installerVersion);
  freeMem(slot.origin);
  slot.origin = nullptr;

  // The answer is not examined. A release map that cannot be built (allocation-failure
  // lines) leaves the adapter untold, but the release goes on: a slot that looks free must
  // hold no loaded library and no copy on disk.
  HalvorantSession_callService(&slot, "Halvorant_Release", "-3", false, nullptr, 0);

  slot.callMethod = nullptr;
  slot.callJsonMapMethod = nullptr;
  slot.initTime = 0;

  showWarningState("Release adapter state: ", CP_FreeLibrary(slot.library), "Success", "Fail");
  if (slot.ownCopy != 0 && insideCopyDirectory(slot.adapterPath))
    showWarningState("Delete adapter state: ", deleteFile(slot.adapterPath), "Success", "Fail");

  slot.library = nullptr;
  memset(slot.adapterPath, 0, sizeof slot.adapterPath);
  slot.ownCopy = 0;
}
