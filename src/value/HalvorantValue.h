// Value store: short texts that pages leave under a channel name for each other.
//
// 16 entries, held only in memory, each value encrypted (AES256_Encrypt_CBC) under a key
// and IV drawn at start-up. Channel names compare without regard to case. Reading is
// allowed to origins on the value's domain list (checkURL.h) until it expires, and each
// read renews the lifetime. Writing is open to any page with a session, within limits
// that keep origins apart: a live channel (unexpired, or stored without timeout) is
// rewritten only by the origin that wrote it. Values stored without timeout are kept only
// while there is room: a full store clears every expired entry and every entry without
// timeout, whoever wrote it. One origin holds at most HALVORANT_VALUE_PER_ORIGIN live
// channels; a new channel beyond that first clears the origin's own expired channels and
// those without timeout. Times come from halvorantNow(). No lock: request processing keeps
// callers apart.
#pragma once
#include <cstdint>

constexpr int HALVORANT_VALUE_COUNT = 16;
constexpr int HALVORANT_VALUE_PER_ORIGIN = 4;

struct HalvorantValueEntry {
  char* channel;           // owned; null when the entry is free
  char* domainList;        // owned; who may read
  uint32_t timeout;        // minutes; 0 never expires
  int64_t expireTime;      // seconds since the epoch; 0 when the value never expires
  unsigned char* cipher;   // owned encrypted value, or null
  uint64_t cipherLength;   // bytes in cipher
  char* origin;            // owned: the origin that wrote the value
};

extern HalvorantValueEntry value_list[HALVORANT_VALUE_COUNT];
extern unsigned char HalvorantValue_AES_Key[32];
extern unsigned char HalvorantValue_AES_IV[32];  // the cipher uses the first 16 bytes

// Start-up: new random key and IV, all entries cleared.
void HalvorantValue_init();
// Clears one entry (its cipher bytes overwritten first); an index outside 0..15 is ignored.
void HalvorantValue_init(int index);
// Shutdown: clears every entry and wipes key and IV.
void HalvorantValue_Final();

// Stores value for the writing page's origin. 0 stored; 61005 null argument, negative
// timeout, a domain list beyond the limits of checkURL.h, or a live channel of another
// origin; 61019 store full of unexpired values with a timeout, or origin already holds
// HALVORANT_VALUE_PER_ORIGIN such channels; 61020 value could not be encrypted or stored.
// A refused or failed write leaves the store as it was.
int HalvorantValue_set_value(const char* channel, const char* domainList, int timeout, const char* value,
                             const char* origin);
// The plain value, or an empty text when the channel is unknown, the origin is not on its
// domain list or the value has expired; null when the value cannot be produced. The
// caller frees the text with freeMem.
char* HalvorantValue_get_value(const char* channel, const char* origin);

// Under RequestLock: false when no value is live at now (halvorantNow's seconds); else true
// with *until the last second a value stays live, INT64_MAX when one has no timeout.
bool HalvorantValue_liveUntil(int64_t now, int64_t* until);
