// Value store: short texts that pages leave under a channel name for each other.
//
// 16 entries, held only in memory, each value encrypted (AES256_Encrypt_CBC) under a key
// and IV drawn at start-up. Channel names compare without regard to case. Writing is open
// to any page with a session; reading is allowed to origins on the value's domain list
// (checkURL.h) until it expires, and each read renews the lifetime. Times come from
// halvorantNow(). No lock: request processing keeps callers apart.
#pragma once
#include <cstdint>

constexpr int HALVORANT_VALUE_COUNT = 16;

struct HalvorantValueEntry {
  char* channel;           // owned; null when the entry is free
  char* domainList;        // owned; who may read
  uint32_t timeout;        // minutes; 0 never expires
  int64_t expireTime;      // seconds since the epoch; 0 when the value never expires
  unsigned char* cipher;   // owned encrypted value, or null
  uint64_t cipherLength;   // bytes in cipher
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

// 0 stored; 61005 null argument, negative timeout or a domain list beyond the limits of
// checkURL.h; 61019 store full of unexpired values; 61020 value could not be encrypted
// or stored. A refused or failed write leaves the store as it was.
int HalvorantValue_set_value(const char* channel, const char* domainList, int timeout, const char* value);
// The plain value, or an empty text when the channel is unknown, the origin is not on its
// domain list or the value has expired; null when the value cannot be produced. The
// caller frees the text with freeMem.
char* HalvorantValue_get_value(const char* channel, const char* origin);
