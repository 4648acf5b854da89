// Session table: lookup by identifier, new identifiers and slot claim.
#include "session/SessionTable.h"

#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "map/Json.h"
#include "session/HalvorantQueue.h"
#include "session/HalvorantSession.h"
#include "util/Tool.h"

HalvorantSessionSlot SessionList[HALVORANT_SESSION_SLOTS];
char SessionCopyPath[HALVORANT_PATH_BUFFER] = {0};
char SessionExecutePath[HALVORANT_PATH_BUFFER] = {0};

namespace {

bool inUse(const HalvorantSessionSlot& slot) { return slot.sessionId != nullptr && slot.sessionId[0] != '\0'; }

bool ownedBy(const HalvorantSessionSlot& slot, const char* origin) {
  return inUse(slot) && slot.origin != nullptr && strcmp(slot.origin, origin) == 0;
}

// The session that gives way when every slot is taken (see claimSlot).
int evictionVictim(const char* origin) {
  bool own[HALVORANT_SESSION_SLOTS];
  int held = 0;
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i) {
    own[i] = ownedBy(SessionList[i], origin);
    held += own[i] ? 1 : 0;
  }
  if (held >= HALVORANT_SESSIONS_PER_ORIGIN) return HalvorantQueue_getQueueAmong(own);
  return HalvorantQueue_getQueue();
}

int firstFreeSlot() {
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i)
    if (!inUse(SessionList[i])) return i;
  return -1;
}

}  // namespace

int HalvorantSession_findSession(const char* requestId, const char* origin) {
  if (requestId == nullptr || requestId[0] == '\0' || origin == nullptr) return -1;
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i)
    if (ownedBy(SessionList[i], origin) && strstr(requestId, SessionList[i].sessionId) != nullptr) return i;
  return -1;
}

char* HalvorantSession_newSessionId() {
  printfColorLine("Generate new session id", "");
  for (int attempt = 0; attempt < HALVORANT_ID_TRIES; ++attempt) {
    char* id = genUUID();
    if (id == nullptr) return nullptr;
    int clash = -1;
    for (int i = 0; i < HALVORANT_SESSION_SLOTS && clash < 0; ++i)
      if (inUse(SessionList[i]) && strcmp(SessionList[i].sessionId, id) == 0) clash = i;
    if (clash < 0) return id;
    printfColorLine("Session id collision index: ", clash);
    freeMem(id);
  }
  // Only a random source that keeps repeating itself gets here.
  printfColorWarningLine("Generate new session id: ", "Fail");
  return nullptr;
}

int HalvorantSession_claimSlot(const char* sessionId, const char* origin) {
  if (sessionId == nullptr || origin == nullptr) {
    HALVORANT_NULL_WARNING(sessionId == nullptr ? "sessionId" : "origin");
    return -1;
  }
  int index = firstFreeSlot();
  if (index < 0) {
    printfColorWarningLine("Halvorant slot is full, release the oldest one", "");
    index = evictionVictim(origin);
    if (index < 0) {
      printfColorWarningLine("Get the oldest SessionIndex fail", "");
      return -1;
    }
    printfColorLine("Release session index: ", index);
    HalvorantSession_releaseSlot(index);
  }
  if (!HalvorantQueue_setQueue(index)) return -1;
  char* copy = newMem(sessionId);
  char* owner = newMem(origin);
  if (copy == nullptr || owner == nullptr) {
    HALVORANT_MEMORY_FAIL();
    freeMem(copy);
    freeMem(owner);
    HalvorantQueue_removeQueue(index);
    return -1;
  }
  printfColorLine("Session index: ", index);
  HalvorantSessionSlot& slot = SessionList[index];
  slot.sessionId = copy;
  slot.origin = owner;
  slot.initTime = static_cast<int64_t>(halvorantNow());
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(slot.initTime));
  printfColorLine("Init time: ", stamp);
  return index;
}

void HalvorantSession_releaseSlot(int index) {
  HalvorantSession_freeSession(index);
  HalvorantQueue_removeQueue(index);
}

void HalvorantSession_readText(const HalvorantJsonMap* request, const char* key, char* buffer, uint32_t size) {
  readHalvorantJsonText(request, key, buffer, size);
}
