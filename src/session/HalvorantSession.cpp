// Start-up and shutdown of the session manager.
#include "session/HalvorantSession.h"

#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "diag/Console.h"
#include "session/AdapterLoad.h"
#include "session/HalvorantQueue.h"
#include "session/SessionTable.h"
#include "util/Tool.h"
#include "value/HalvorantValue.h"

void HalvorantSession_Init(const char* copyDirectory, const char* executableDirectory) {
  setLog("NoxHalvorant", "HalvorantSession");
  if (copyDirectory == nullptr) HALVORANT_NULL_WARNING("copyDirectory");
  if (executableDirectory == nullptr) HALVORANT_NULL_WARNING("executableDirectory");
  // Slots that are already empty are not written: the table's pages then stay untouched
  // (not resident) until sessions use them.
  static const HalvorantSessionSlot kEmpty = {};
  for (HalvorantSessionSlot& slot : SessionList)
    if (memcmp(&slot, &kEmpty, sizeof slot) != 0) memset(&slot, 0, sizeof slot);

  memset(SessionCopyPath, 0, sizeof SessionCopyPath);
  ArrayCopy(SessionCopyPath, sizeof SessionCopyPath, copyDirectory);
  // Private: another local user must not be able to swap a copy before it is loaded.
  if (SessionCopyPath[0] != '\0') mkdir(SessionCopyPath, 0700);
  if (!HalvorantSession_isSafeCopyDirectory(SessionCopyPath))
    printfColorErrorLine("Copy directory not private, adapters load from their installed files: ",
                         SessionCopyPath);

  memset(SessionExecutePath, 0, sizeof SessionExecutePath);
  ArrayCopy(SessionExecutePath, sizeof SessionExecutePath, executableDirectory);
  HalvorantValue_init();
}

void HalvorantSession_Final() {
  printfColorLine("[HalvorantFinal] ", "Start release all adapters");
  // Oldest first, among the sessions no thread works with; the others keep their library
  // loaded (its code may be running) and lose only their copy, below.
  for (;;) {
    int index = -1;
    {
      std::lock_guard<std::mutex> guard(RequestLock);
      bool idle[HALVORANT_SESSION_SLOTS];
      for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i)
        idle[i] = SessionList[i].sessionId != nullptr && SessionList[i].busy == 0;
      index = HalvorantQueue_getQueueAmong(idle);
      // A slot in use is always queued; this only guards that rule.
      for (int i = 0; i < HALVORANT_SESSION_SLOTS && index < 0; ++i)
        if (idle[i]) index = i;
      if (index >= 0) HalvorantSession_holdLocked(index);
    }
    if (index < 0) break;
    printfColorLine("Release session index: ", index);
    HalvorantSession_releaseSlot(index);
  }
  HalvorantSession_DeleteAllCopies();
  std::lock_guard<std::mutex> guard(RequestLock);
  HalvorantValue_Final();
}
