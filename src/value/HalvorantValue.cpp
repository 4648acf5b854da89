// Value store.
#include "value/HalvorantValue.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "crypto/AES.h"
#include "diag/Console.h"
#include "platform/Wipe.h"
#include "util/Tool.h"
#include "value/checkURL.h"
#include "util/ResultCodes.h"

HalvorantValueEntry value_list[HALVORANT_VALUE_COUNT];
unsigned char HalvorantValue_AES_Key[32];
unsigned char HalvorantValue_AES_IV[32];

namespace {

constexpr int kInvalid = kResult_MISSING_PARAMETER;
constexpr int kFull = kResult_VALUE_STORE_FULL;
constexpr int kEncryptError = kResult_VALUE_NOT_ENCRYPTED;


bool sameChannel(const char* a, const char* b) {
  for (;; ++a, ++b) {
    unsigned char x = static_cast<unsigned char>(*a);
    unsigned char y = static_cast<unsigned char>(*b);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

int findChannel(const char* channel) {
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i)
    if (value_list[i].channel != nullptr && sameChannel(value_list[i].channel, channel)) return i;
  return -1;
}

// Unexpired at now, or stored without timeout.
bool live(const HalvorantValueEntry& entry, int64_t now) {
  return entry.channel != nullptr && (entry.expireTime == 0 || entry.expireTime >= now);
}

bool ownedBy(const HalvorantValueEntry& entry, const char* origin) {
  return entry.origin != nullptr && strcmp(entry.origin, origin) == 0;
}

// What a write may give up for room: a value past its expiry, or one stored without
// timeout (documented to pages as kept only while the store has room).
bool reclaimable(const HalvorantValueEntry& entry, int64_t now) {
  return entry.channel != nullptr && (entry.expireTime == 0 || entry.expireTime < now);
}

// Live channels of origin, and how many of them were stored without timeout.
int liveChannelsOf(const char* origin, int64_t now, int* withoutTimeout) {
  int held = 0;
  *withoutTimeout = 0;
  for (const HalvorantValueEntry& entry : value_list) {
    if (!live(entry, now) || !ownedBy(entry, origin)) continue;
    ++held;
    if (entry.expireTime == 0) ++*withoutTimeout;
  }
  return held;
}

int findFree() {
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i)
    if (value_list[i].channel == nullptr) return i;
  return -1;
}

// Clears every reclaimable entry, of origin only or (null) of anybody; the highest index
// cleared, or -1. A full store gives up all of them, whoever wrote them, and the new value
// takes the highest index cleared; an origin at its quota gives up its own.
int clearReclaimable(int64_t now, const char* origin) {
  int last = -1;
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) {
    const HalvorantValueEntry& entry = value_list[i];
    if (reclaimable(entry, now) && (origin == nullptr || ownedBy(entry, origin))) {
      HalvorantValue_init(i);
      last = i;
    }
  }
  return last;
}

// 64-bit: no timeout a page can send overflows.
int64_t expiryFrom(int64_t now, uint32_t minutes) {
  return now + static_cast<int64_t>(minutes) * 60;
}

void printTime(const char* label, int64_t seconds, bool warning) {
  char text[32];
  snprintf(text, sizeof text, "%" PRId64, seconds);
  if (warning)
    printfColorWarningLine(label, text);
  else
    printfColorLine(label, text);
}

}  // namespace

bool HalvorantValue_liveUntil(int64_t now, int64_t* until) {
  bool any = false;
  int64_t last = 0;
  for (const HalvorantValueEntry& entry : value_list) {
    if (!live(entry, now)) continue;
    any = true;
    last = std::max(last, entry.expireTime == 0 ? INT64_MAX : entry.expireTime);
  }
  if (until != nullptr) *until = last;
  return any;
}

void HalvorantValue_init() {
  bool keyMade = getSecureRandom(HalvorantValue_AES_Key, sizeof HalvorantValue_AES_Key);
  bool ivMade = getSecureRandom(HalvorantValue_AES_IV, sizeof HalvorantValue_AES_IV);
  if (!keyMade || !ivMade) printfColorWarningLine("HalvorantValue: ", "Random source unavailable");
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) HalvorantValue_init(i);
}

void HalvorantValue_init(int index) {
  if (index < 0 || index >= HALVORANT_VALUE_COUNT) {
    printfColorWarningLine("HalvorantValue invalid index: ", index);
    return;
  }
  HalvorantValueEntry& entry = value_list[index];
  freeMem(entry.channel);
  freeMem(entry.domainList);
  freeWiped(entry.cipher, entry.cipherLength);
  freeMem(entry.origin);
  entry = HalvorantValueEntry{nullptr, nullptr, 0, 0, nullptr, 0, nullptr};
}

void HalvorantValue_Final() {
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) HalvorantValue_init(i);
  wipeMemory(HalvorantValue_AES_Key, sizeof HalvorantValue_AES_Key);
  wipeMemory(HalvorantValue_AES_IV, sizeof HalvorantValue_AES_IV);
  freeCheckURL();
}

int HalvorantValue_set_value(const char* channel, const char* domainList, int timeout, const char* value,
                             const char* origin) {
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("origin");
    return kInvalid;
  }
  if (channel == nullptr) {
    HALVORANT_NULL_WARNING("channel");
    return kInvalid;
  }
  if (domainList == nullptr) {
    HALVORANT_NULL_WARNING("domain_list");
    return kInvalid;
  }
  if (timeout < 0) return kInvalid;
  if (value == nullptr) {
    HALVORANT_NULL_WARNING("value");
    return kInvalid;
  }
  const char* refused = checkDomainList(domainList);
  if (refused != nullptr) {
    printfColorWarningLine("HalvorantValue domain list refused: ", refused);
    return kInvalid;
  }

  int64_t now = halvorantNow();
  int index = findChannel(channel);
  int takeOver = -1;
  if (index >= 0 && !ownedBy(value_list[index], origin)) {
    if (live(value_list[index], now)) {
      printfColorWarningLine("HalvorantValue channel of another origin: ", channel);
      return kInvalid;
    }
    takeOver = index;  // expired: the channel is free for anybody
    index = -1;
  }
  // A new channel of an origin at its quota: its own reclaimable channels make room, and
  // only when none does is the write refused.
  bool clearOwn = false;
  if (index < 0) {
    int withoutTimeout = 0;
    const int held = liveChannelsOf(origin, now, &withoutTimeout);
    if (held - withoutTimeout >= HALVORANT_VALUE_PER_ORIGIN) {
      printfColorWarningLine("HalvorantValue: ", "Full");
      printfColorWarningLine("HalvorantValue channels per origin used up: ", origin);
      return kFull;
    }
    clearOwn = held >= HALVORANT_VALUE_PER_ORIGIN;
  }

  // Everything the entry needs is made first, so a failure changes nothing.
  uint64_t cipherLength = 0;
  unsigned char* cipher =
      AES256_Encrypt_CBC(value, HalvorantValue_AES_Key, HalvorantValue_AES_IV, &cipherLength);
  if (cipher == nullptr || cipherLength == 0) {
    freeWiped(cipher, cipherLength);
    printfColorWarningLine("HalvorantValue: ", "Encrypt Error");
    return kEncryptError;
  }
  char* name = index < 0 ? newMem(channel) : nullptr;
  char* owner = index < 0 ? newMem(origin) : nullptr;
  char* list = newMem(domainList);
  if (list == nullptr || (index < 0 && (name == nullptr || owner == nullptr))) {
    HALVORANT_MEMORY_FAIL();
    freeMem(name);
    freeMem(owner);
    freeMem(list);
    freeWiped(cipher, cipherLength);
    return kEncryptError;
  }

  if (clearOwn) clearReclaimable(now, origin);
  if (takeOver >= 0) {
    HalvorantValue_init(takeOver);
    index = takeOver;
  }
  if (index < 0) index = findFree();
  if (index < 0) index = clearReclaimable(now, nullptr);
  if (index < 0) {
    printfColorWarningLine("HalvorantValue: ", "Full");
    freeMem(name);
    freeMem(owner);
    freeMem(list);
    freeWiped(cipher, cipherLength);
    return kFull;
  }

  HalvorantValueEntry& entry = value_list[index];
  if (name != nullptr) {
    entry.channel = name;
    entry.origin = owner;
  }
  freeMem(entry.domainList);
  entry.domainList = list;
  entry.timeout = static_cast<uint32_t>(timeout);
  entry.expireTime = timeout != 0 ? expiryFrom(now, entry.timeout) : 0;
  freeWiped(entry.cipher, entry.cipherLength);
  entry.cipher = cipher;
  entry.cipherLength = cipherLength;
  return 0;
}

char* HalvorantValue_get_value(const char* channel, const char* origin) {
  char* empty = newMem("");
  if (empty == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  if (channel == nullptr) {
    HALVORANT_NULL_WARNING("channel");
    return empty;
  }
  if (origin == nullptr) {
    HALVORANT_NULL_WARNING("domain");
    return empty;
  }

  int index = findChannel(channel);
  if (index < 0) {
    printfColorWarningLine("HalvorantValue no current channel", channel);
    freeCheckURL();
    return empty;
  }
  HalvorantValueEntry& entry = value_list[index];

  setUnlockURL(entry.domainList);
  unlock(origin);
  bool allowed = isUrlUnlock();
  freeCheckURL();
  if (!allowed) {
    printfColorWarningLine("HalvorantValue url check fail", origin);
    return empty;
  }

  if (entry.expireTime != 0) {
    int64_t now = halvorantNow();
    printTime("HalvorantValue current_time: ", now, false);
    if (now > entry.expireTime) {
      printfColorWarningLine("HalvorantValue: ", "Timeout");
      printTime("HalvorantValue expired_time: ", entry.expireTime, true);
      return empty;
    }
    entry.expireTime = expiryFrom(now, entry.timeout);
    printTime("HalvorantValue update expired_time: ", entry.expireTime, false);
  } else {
    printfColorLine("HalvorantValue: ", "No expired time");
  }

  char* plain = AES256_Decrypt_CBC(entry.cipher, entry.cipherLength, HalvorantValue_AES_Key,
                                   HalvorantValue_AES_IV);
  if (plain == nullptr) {
    HALVORANT_MEMORY_FAIL();
    freeMem(empty);
    return nullptr;
  }
  freeMem(empty);
  return plain;
}
