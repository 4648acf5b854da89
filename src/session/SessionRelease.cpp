// Release of a session: adapter told, library unloaded, own copy deleted, slot emptied;
// and the sessions of a thread that stopped answering inside an adapter.
#include <cstring>
#include <mutex>

#include "diag/Console.h"
#include "session/AdapterCall.h"
#include "session/HalvorantQueue.h"
#include "session/HalvorantSession.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

namespace {

void releaseText(const char* label, char*& text) {
  if (label != nullptr) printfColorLine(label, text);
  freeMem(text);
  text = nullptr;
}

// Only a file directly inside the copy directory can be a session's copy.
bool insideCopyDirectory(const char* path) {
  size_t length = strlen(SessionCopyPath);
  if (length == 0 || strncmp(path, SessionCopyPath, length) != 0 || path[length] != '/') return false;
  return path[length + 1] != '\0' && strchr(path + length + 1, '/') == nullptr;
}

// Under RequestLock: the slot is free again (its age stamp removed with it, so that no
// later claim of the slot loses its own).
void emptySlotLocked(int index) {
  HalvorantSessionSlot& slot = SessionList[index];
  HalvorantQueue_removeQueue(index);
  slot.library = nullptr;
  slot.callMethod = nullptr;
  slot.callJsonMapMethod = nullptr;
  slot.initTime = 0;
  slot.browserMode = 0;
  memset(slot.adapterPath, 0, sizeof slot.adapterPath);
  slot.ownCopy = 0;
  slot.busy = 0;
  slot.broken = 0;
  ++slot.generation;
  SessionFree.notify_all();
}

}  // namespace

void HalvorantSession_freeSession(int index) {
  if (index < 0 || index >= HALVORANT_SESSION_SLOTS) return;
  HalvorantSessionSlot& slot = SessionList[index];
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> guard(RequestLock);
    if (slot.sessionId == nullptr) return;
    // Another thread works with its adapter: that thread (or shutdown) ends it.
    if (slot.busy != 0 && !pthread_equal(slot.holder, pthread_self())) return;
    if (slot.broken != 0) {
      HalvorantSession_dropBrokenLocked(index);
      return;
    }
    // Found by no lookup from here on, and still no free slot until the library is gone.
    generation = HalvorantSession_holdLocked(index);
    slot.browserMode = 0;
    releaseText("Release Session id: ", slot.sessionId);
    releaseText("Release AdapterName: ", slot.adapterName);
    releaseText("Release Adapter Version: ", slot.adapterVersion);
    releaseText("Release Installer Version: ", slot.installerVersion);
    releaseText(nullptr, slot.origin);
  }

  // The answer is not examined. A release map that cannot be built (allocation-failure
  // lines) leaves the adapter untold, but the release goes on: a slot that looks free must
  // hold no loaded library and no copy on disk.
  HalvorantSession_callService(&slot, "Halvorant_Release", "-3", false, nullptr, 0);
  // It stopped answering there: its library stays loaded, its copy is already deleted.
  if (!HalvorantSession_stillHeld(index, generation)) return;

  slot.callMethod = nullptr;
  slot.callJsonMapMethod = nullptr;
  bool unloaded = false;
  {
    std::lock_guard<std::mutex> guard(AdapterLoaderLock);
    unloaded = CP_FreeLibrary(slot.library);
  }
  showWarningState("Release adapter state: ", unloaded, "Success", "Fail");
  if (slot.ownCopy != 0 && insideCopyDirectory(slot.adapterPath)) {
    showWarningState("Delete adapter state: ", deleteFile(slot.adapterPath), "Success", "Fail");
    HalvorantSession_forgetCopy(slot.adapterPath);
  }
  std::lock_guard<std::mutex> guard(RequestLock);
  emptySlotLocked(index);
}

void HalvorantSession_dropBrokenLocked(int index) {
  HalvorantSessionSlot& slot = SessionList[index];
  printfColorWarningLine("Abandoned session freed, its adapter stays loaded: ", index);
  releaseText(nullptr, slot.sessionId);
  releaseText(nullptr, slot.adapterName);
  releaseText(nullptr, slot.adapterVersion);
  releaseText(nullptr, slot.installerVersion);
  releaseText(nullptr, slot.origin);
  emptySlotLocked(index);
}

int HalvorantSession_Abandon(pthread_t thread) {
  std::lock_guard<std::mutex> guard(RequestLock);
  int abandoned = 0;
  for (int index = 0; index < HALVORANT_SESSION_SLOTS; ++index) {
    HalvorantSessionSlot& slot = SessionList[index];
    if (slot.busy == 0 || slot.broken != 0 || !pthread_equal(slot.holder, thread)) continue;
    // Never called into again, never unloaded (its code may still run); the copy goes now.
    slot.broken = 1;
    printfColorWarningLine("Session abandoned, adapter did not answer: ", index);
    HalvorantSession_deleteCopiesOf(index);
    ++abandoned;
  }
  if (abandoned > 0) SessionFree.notify_all();
  return abandoned;
}
