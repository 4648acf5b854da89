// Byte-oriented AES-128: S-boxes generated at compile time, rounds on a 16-byte state in
// column order.
#include "crypto/Aes128.h"

#include <cstring>

#include "platform/Wipe.h"

namespace {

constexpr unsigned char xtime(unsigned char a) {
  return static_cast<unsigned char>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}
constexpr unsigned char mul(unsigned char a, unsigned char b) {
  unsigned char r = 0;
  for (; b; b >>= 1, a = xtime(a))
    if (b & 1) r ^= a;
  return r;
}

struct Boxes {
  unsigned char forward[256];
  unsigned char inverse[256];
};

constexpr Boxes makeBoxes() {
  Boxes b{};
  for (int i = 0; i < 256; ++i) {
    unsigned char inv = 0;  // multiplicative inverse by search; 0 maps to 0
    for (int j = 1; j < 256 && i; ++j)
      if (mul(static_cast<unsigned char>(i), static_cast<unsigned char>(j)) == 1) {
        inv = static_cast<unsigned char>(j);
        break;
      }
    unsigned s = inv;
    for (int r = 1; r <= 4; ++r) s ^= ((inv << r) | (inv >> (8 - r))) & 0xff;
    b.forward[i] = static_cast<unsigned char>(s ^ 0x63);
    b.inverse[b.forward[i]] = static_cast<unsigned char>(i);
  }
  return b;
}
constexpr Boxes kBox = makeBoxes();

void expandKey(const unsigned char* key, unsigned char roundKey[176]) {
  std::memcpy(roundKey, key, 16);
  unsigned char rcon = 1;
  for (int i = 4; i < 44; ++i) {
    unsigned char t[4];
    std::memcpy(t, roundKey + 4 * (i - 1), 4);
    if (i % 4 == 0) {
      const unsigned char first = t[0];
      t[0] = static_cast<unsigned char>(kBox.forward[t[1]] ^ rcon);
      t[1] = kBox.forward[t[2]];
      t[2] = kBox.forward[t[3]];
      t[3] = kBox.forward[first];
      rcon = xtime(rcon);
    }
    for (int k = 0; k < 4; ++k) roundKey[4 * i + k] = roundKey[4 * (i - 4) + k] ^ t[k];
  }
}

void addRoundKey(unsigned char s[16], const unsigned char* k) {
  for (int i = 0; i < 16; ++i) s[i] ^= k[i];
}

// Row r of column c is s[4c + r]; row r rotates left by r (right by r when inverting).
void shiftRows(unsigned char s[16], bool inverse) {
  unsigned char t[16];
  for (int c = 0; c < 4; ++c)
    for (int r = 0; r < 4; ++r) {
      const int from = inverse ? (c - r + 4) % 4 : (c + r) % 4;
      t[4 * c + r] = s[4 * from + r];
    }
  std::memcpy(s, t, 16);
}

void mixColumns(unsigned char s[16], bool inverse) {
  const unsigned char m[4] = {static_cast<unsigned char>(inverse ? 14 : 2),
                              static_cast<unsigned char>(inverse ? 11 : 3),
                              static_cast<unsigned char>(inverse ? 13 : 1),
                              static_cast<unsigned char>(inverse ? 9 : 1)};
  for (int c = 0; c < 4; ++c) {
    unsigned char* col = s + 4 * c;
    const unsigned char a[4] = {col[0], col[1], col[2], col[3]};
    for (int r = 0; r < 4; ++r)
      col[r] = mul(a[r], m[0]) ^ mul(a[(r + 1) % 4], m[1]) ^ mul(a[(r + 2) % 4], m[2]) ^
               mul(a[(r + 3) % 4], m[3]);
  }
}

void encryptBlock(const unsigned char roundKey[176], const unsigned char* in, unsigned char* out) {
  unsigned char s[16];
  std::memcpy(s, in, 16);
  addRoundKey(s, roundKey);
  for (int round = 1; round <= 10; ++round) {
    for (unsigned char& b : s) b = kBox.forward[b];
    shiftRows(s, false);
    if (round != 10) mixColumns(s, false);
    addRoundKey(s, roundKey + 16 * round);
  }
  std::memcpy(out, s, 16);
  wipeMemory(s, sizeof s);
}

void decryptBlock(const unsigned char roundKey[176], const unsigned char* in, unsigned char* out) {
  unsigned char s[16];
  std::memcpy(s, in, 16);
  addRoundKey(s, roundKey + 160);
  for (int round = 9; round >= 0; --round) {
    shiftRows(s, true);
    for (unsigned char& b : s) b = kBox.inverse[b];
    addRoundKey(s, roundKey + 16 * round);
    if (round != 0) mixColumns(s, true);
  }
  std::memcpy(out, s, 16);
  wipeMemory(s, sizeof s);
}

bool prepare(AES128_STATE* state, const unsigned char* key, const unsigned char* iv) {
  if (key) {
    expandKey(key, state->roundKey);
    state->keyed = 1;
  }
  if (iv) std::memcpy(state->chain, iv, 16);
  return state->keyed == 1;
}

}  // namespace

void AES128_ECB_encrypt(const unsigned char* input, const unsigned char* key, unsigned char* output) {
  if (!input || !key || !output) return;
  unsigned char roundKey[176];
  expandKey(key, roundKey);
  encryptBlock(roundKey, input, output);
  wipeMemory(roundKey, sizeof roundKey);
}

void AES128_ECB_decrypt(const unsigned char* input, const unsigned char* key, unsigned char* output) {
  if (!input || !key || !output) return;
  unsigned char roundKey[176];
  expandKey(key, roundKey);
  decryptBlock(roundKey, input, output);
  wipeMemory(roundKey, sizeof roundKey);
}

void AES128_CBC_encrypt_buffer(AES128_STATE* state, unsigned char* output, const unsigned char* input,
                               uint64_t length, const unsigned char* key, const unsigned char* iv) {
  if (!state || !prepare(state, key, iv) || !output || !input) return;
  for (uint64_t at = 0; at + 16 <= length; at += 16) {
    for (int i = 0; i < 16; ++i) state->chain[i] ^= input[at + i];
    encryptBlock(state->roundKey, state->chain, state->chain);
    std::memcpy(output + at, state->chain, 16);
  }
}

void AES128_CBC_decrypt_buffer(AES128_STATE* state, unsigned char* output, const unsigned char* input,
                               uint64_t length, const unsigned char* key, const unsigned char* iv) {
  if (!state || !prepare(state, key, iv) || !output || !input) return;
  for (uint64_t at = 0; at + 16 <= length; at += 16) {
    unsigned char saved[16];
    unsigned char plain[16];
    std::memcpy(saved, input + at, 16);
    decryptBlock(state->roundKey, saved, plain);
    for (int i = 0; i < 16; ++i) output[at + i] = plain[i] ^ state->chain[i];
    std::memcpy(state->chain, saved, 16);
    wipeMemory(plain, sizeof plain);
  }
}
