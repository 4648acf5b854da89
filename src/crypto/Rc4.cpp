#include "crypto/Rc4.h"

void rc4Setup(unsigned char state[kRc4StateBytes], const unsigned char* key, uint64_t keyLength) {
  unsigned char* s = state;
  for (int n = 0; n < 256; ++n) s[n] = static_cast<unsigned char>(n);
  unsigned char j = 0;
  for (int n = 0; n < 256; ++n) {
    j = static_cast<unsigned char>(j + s[n] + key[static_cast<uint64_t>(n) % keyLength]);
    const unsigned char t = s[n];
    s[n] = s[j];
    s[j] = t;
  }
}

void rc4Crypt(unsigned char state[kRc4StateBytes], const unsigned char* input, uint64_t length,
              unsigned char* output) {
  unsigned char* s = state;
  unsigned char i = state[256];
  unsigned char j = state[257];
  for (uint64_t n = 0; n < length; ++n) {
    i = static_cast<unsigned char>(i + 1);
    const unsigned char si = s[i];
    j = static_cast<unsigned char>(j + si);
    const unsigned char sj = s[j];
    s[i] = sj;
    s[j] = si;
    output[n] = static_cast<unsigned char>(input[n] ^ s[static_cast<unsigned char>(si + sj)]);
  }
  state[256] = i;
  state[257] = j;
}
