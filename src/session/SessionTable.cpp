// Session table: lookup by identifier, new identifiers, slot claim, busy slots and the
// registry of adapter copies.
#include "session/SessionTable.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "diag/Console.h"
#include "map/Json.h"
#include "session/HalvorantQueue.h"
#include "session/HalvorantSession.h"
#include "util/Site.h"
#include "util/Tool.h"
#include "value/HalvorantValue.h"

HalvorantSessionSlot SessionList[HALVORANT_SESSION_SLOTS];
char SessionCopyPath[HALVORANT_PATH_BUFFER] = {0};
char SessionExecutePath[HALVORANT_PATH_BUFFER] = {0};
std::mutex RequestLock;
std::condition_variable SessionFree;
std::mutex AdapterLoaderLock;

namespace {

bool inUse(const HalvorantSessionSlot& slot) { return slot.sessionId != nullptr && slot.sessionId[0] != '\0'; }

bool ownedBy(const HalvorantSessionSlot& slot, const char* origin) {
  return inUse(slot) && slot.broken == 0 && slot.origin != nullptr && strcmp(slot.origin, origin) == 0;
}

// The idle session that gives way when every slot is taken (see claimSlot); -1 if none.
int evictionVictim(const char* origin) {
  char sites[HALVORANT_SESSION_SLOTS][kSiteSize];
  bool idle[HALVORANT_SESSION_SLOTS];
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i) {
    const HalvorantSessionSlot& slot = SessionList[i];
    idle[i] = inUse(slot) && slot.busy == 0;
    siteOfOrigin(inUse(slot) ? slot.origin : nullptr, sites[i], kSiteSize);
  }
  char own[kSiteSize];
  siteOfOrigin(origin, own, sizeof own);
  bool ofOwnSite[HALVORANT_SESSION_SLOTS];
  bool ofCrowdedSite[HALVORANT_SESSION_SLOTS];
  int ownHeld = 0;
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i) {
    int held = 0;
    for (int j = 0; j < HALVORANT_SESSION_SLOTS; ++j)
      held += inUse(SessionList[j]) && strcmp(sites[i], sites[j]) == 0 ? 1 : 0;
    ofOwnSite[i] = idle[i] && strcmp(sites[i], own) == 0;
    ofCrowdedSite[i] = idle[i] && held >= HALVORANT_SESSIONS_PER_SITE;
    ownHeld += inUse(SessionList[i]) && strcmp(sites[i], own) == 0 ? 1 : 0;
  }
  int victim = -1;
  if (ownHeld >= HALVORANT_SESSIONS_PER_SITE) victim = HalvorantQueue_getQueueAmong(ofOwnSite);
  if (victim < 0) victim = HalvorantQueue_getQueueAmong(ofCrowdedSite);
  if (victim < 0) victim = HalvorantQueue_getQueueAmong(idle);
  return victim;
}

int firstFreeSlot() {
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i)
    if (!inUse(SessionList[i]) && SessionList[i].busy == 0) return i;
  return -1;
}

// ---- Copies made and not yet deleted ---------------------------------------------------

struct CopyEntry {
  int slot;  // -1: unused entry
  char path[HALVORANT_PATH_BUFFER];
};
// One per slot, and room for copies of abandoned sessions whose files are being deleted.
constexpr int kCopyEntries = HALVORANT_SESSION_SLOTS * 2;
std::mutex g_copyLock;  // leaf
CopyEntry g_copies[kCopyEntries];
struct CopiesUnused {
  CopiesUnused() {
    for (CopyEntry& entry : g_copies) entry.slot = -1;
  }
} g_copiesUnused;

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
  std::unique_lock<std::mutex> lock(RequestLock);
  int index = firstFreeSlot();
  // Each round releases one idle session; another thread may take the freed slot first.
  for (int round = 0; index < 0 && round < HALVORANT_SESSION_SLOTS; ++round) {
    printfColorWarningLine("Halvorant slot is full, release the oldest one", "");
    int victim = evictionVictim(origin);
    if (victim < 0) break;
    printfColorLine("Release session index: ", victim);
    lock.unlock();
    HalvorantSession_releaseSlot(victim);
    lock.lock();
    index = firstFreeSlot();
  }
  if (index < 0) {
    printfColorWarningLine("Get the oldest SessionIndex fail", "");
    return -1;
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
  slot.busy = 1;
  slot.holder = pthread_self();
  slot.initTime = static_cast<int64_t>(halvorantNow());
  char stamp[32];
  snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(slot.initTime));
  printfColorLine("Init time: ", stamp);
  return index;
}

void HalvorantSession_releaseSlot(int index) { HalvorantSession_freeSession(index); }

uint64_t HalvorantSession_holdLocked(int index) {
  HalvorantSessionSlot& slot = SessionList[index];
  slot.busy = 1;
  slot.holder = pthread_self();
  return slot.generation;
}

bool HalvorantSession_doneLocked(int index, uint64_t generation) {
  HalvorantSessionSlot& slot = SessionList[index];
  if (slot.generation != generation) return false;
  if (slot.broken != 0) {
    HalvorantSession_dropBrokenLocked(index);
    return false;
  }
  slot.busy = 0;
  SessionFree.notify_all();
  return true;
}

bool HalvorantSession_stillHeld(int index, uint64_t generation) {
  std::lock_guard<std::mutex> guard(RequestLock);
  HalvorantSessionSlot& slot = SessionList[index];
  if (slot.generation != generation) return false;
  if (slot.broken == 0) return true;
  HalvorantSession_dropBrokenLocked(index);
  return false;
}

bool HalvorantSession_reserveCopy(const char* path, int index) {
  std::lock_guard<std::mutex> guard(g_copyLock);
  CopyEntry* unused = nullptr;
  for (CopyEntry& entry : g_copies) {
    if (entry.slot >= 0 && strcmp(entry.path, path) == 0) return false;
    if (entry.slot < 0 && unused == nullptr) unused = &entry;
  }
  if (unused == nullptr) return false;
  ArrayCopy(unused->path, sizeof unused->path, path);
  unused->slot = index;
  return true;
}

void HalvorantSession_forgetCopy(const char* path) {
  std::lock_guard<std::mutex> guard(g_copyLock);
  for (CopyEntry& entry : g_copies)
    if (entry.slot >= 0 && strcmp(entry.path, path) == 0) entry.slot = -1;
}

int HalvorantSession_deleteCopiesOf(int index) {
  std::lock_guard<std::mutex> guard(g_copyLock);
  int deleted = 0;
  for (CopyEntry& entry : g_copies) {
    if (entry.slot < 0 || (index >= 0 && entry.slot != index)) continue;
    // A mapped library stays usable after its file is gone: its holder may still run it.
    showWarningState("Delete adapter state: ", unlink(entry.path) == 0, "Success", "Fail");
    entry.slot = -1;
    ++deleted;
  }
  return deleted;
}

int HalvorantSession_Held(bool* valueLive, int64_t* valuesUntil) {
  std::lock_guard<std::mutex> guard(RequestLock);
  int held = 0;
  for (const HalvorantSessionSlot& slot : SessionList) held += inUse(slot) || slot.busy != 0 ? 1 : 0;
  int64_t until = 0;
  const bool live = HalvorantValue_liveUntil(halvorantNow(), &until);
  if (valueLive != nullptr) *valueLive = live;
  if (valuesUntil != nullptr) *valuesUntil = until;
  return held;
}

int HalvorantSession_DeleteAllCopies() { return HalvorantSession_deleteCopiesOf(-1); }

void HalvorantSession_readText(const HalvorantJsonMap* request, const char* key, char* buffer, uint32_t size) {
  readHalvorantJsonText(request, key, buffer, size);
}
