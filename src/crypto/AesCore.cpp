// Table-driven AES: 256-entry forward and inverse round tables (four rotations each) and
// the two S-boxes, all generated at compile time from GF(2^8) arithmetic.
#include "crypto/AesCore.h"

namespace {

constexpr uint8_t xtime(uint8_t a) {
  return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1b : 0));
}
constexpr uint8_t gmul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}
constexpr uint8_t rotl8(uint8_t v, int n) { return static_cast<uint8_t>((v << n) | (v >> (8 - n))); }
constexpr uint32_t rotr32(uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

struct Tables {
  uint8_t sbox[256];
  uint8_t inv[256];
  uint32_t te[4][256];
  uint32_t td[4][256];
};

constexpr Tables makeTables() {
  Tables t{};
  // Powers and logarithms of the generator 3 give the multiplicative inverse.
  uint8_t power[256] = {};
  uint8_t logarithm[256] = {};
  uint8_t x = 1;
  for (int i = 0; i < 255; ++i) {
    power[i] = x;
    logarithm[x] = static_cast<uint8_t>(i);
    x = static_cast<uint8_t>(x ^ xtime(x));
  }
  for (int i = 0; i < 256; ++i) {
    const uint8_t inverse = i == 0 ? 0 : power[(255 - logarithm[i]) % 255];
    const uint8_t s = static_cast<uint8_t>(inverse ^ rotl8(inverse, 1) ^ rotl8(inverse, 2) ^
                                           rotl8(inverse, 3) ^ rotl8(inverse, 4) ^ 0x63);
    t.sbox[i] = s;
    t.inv[s] = static_cast<uint8_t>(i);
  }
  for (int i = 0; i < 256; ++i) {
    const uint8_t s = t.sbox[i];
    const uint32_t e = (static_cast<uint32_t>(gmul(s, 2)) << 24) | (static_cast<uint32_t>(s) << 16) |
                       (static_cast<uint32_t>(s) << 8) | gmul(s, 3);
    const uint8_t v = t.inv[i];
    const uint32_t d = (static_cast<uint32_t>(gmul(v, 14)) << 24) |
                       (static_cast<uint32_t>(gmul(v, 9)) << 16) |
                       (static_cast<uint32_t>(gmul(v, 13)) << 8) | gmul(v, 11);
    for (int r = 0; r < 4; ++r) {
      t.te[r][i] = r ? rotr32(e, 8 * r) : e;
      t.td[r][i] = r ? rotr32(d, 8 * r) : d;
    }
  }
  return t;
}
constexpr Tables kT = makeTables();
static_assert(kT.sbox[0x00] == 0x63 && kT.sbox[0x53] == 0xed && kT.inv[0x63] == 0x00,
              "AES S-box");

inline uint32_t load32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline void store32(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline uint32_t subWord(uint32_t w) {
  return (static_cast<uint32_t>(kT.sbox[w >> 24]) << 24) |
         (static_cast<uint32_t>(kT.sbox[(w >> 16) & 0xff]) << 16) |
         (static_cast<uint32_t>(kT.sbox[(w >> 8) & 0xff]) << 8) | kT.sbox[w & 0xff];
}

#define TE(a, b, c, d, k)                                                                  \
  (kT.te[0][(a) >> 24] ^ kT.te[1][((b) >> 16) & 0xff] ^ kT.te[2][((c) >> 8) & 0xff] ^     \
   kT.te[3][(d) & 0xff] ^ (k))
#define TD(a, b, c, d, k)                                                                  \
  (kT.td[0][(a) >> 24] ^ kT.td[1][((b) >> 16) & 0xff] ^ kT.td[2][((c) >> 8) & 0xff] ^     \
   kT.td[3][(d) & 0xff] ^ (k))
#define ENC_ROUND(o0, o1, o2, o3, i0, i1, i2, i3, k) \
  do {                                               \
    o0 = TE(i0, i1, i2, i3, (k)[0]);                 \
    o1 = TE(i1, i2, i3, i0, (k)[1]);                 \
    o2 = TE(i2, i3, i0, i1, (k)[2]);                 \
    o3 = TE(i3, i0, i1, i2, (k)[3]);                 \
  } while (0)
#define DEC_ROUND(o0, o1, o2, o3, i0, i1, i2, i3, k) \
  do {                                               \
    o0 = TD(i0, i3, i2, i1, (k)[0]);                 \
    o1 = TD(i1, i0, i3, i2, (k)[1]);                 \
    o2 = TD(i2, i1, i0, i3, (k)[2]);                 \
    o3 = TD(i3, i2, i1, i0, (k)[3]);                 \
  } while (0)

inline uint32_t lastWord(const uint8_t* box, uint32_t a, uint32_t b, uint32_t c, uint32_t d,
                         uint32_t k) {
  return ((static_cast<uint32_t>(box[a >> 24]) << 24) |
          (static_cast<uint32_t>(box[(b >> 16) & 0xff]) << 16) |
          (static_cast<uint32_t>(box[(c >> 8) & 0xff]) << 8) | box[d & 0xff]) ^
         k;
}

}  // namespace

void aesExpandKey(const unsigned char* key, int keyLength, uint32_t* w) {
  const int nk = keyLength / 4;
  const int total = keyLength + 28;
  for (int i = 0; i < nk; ++i) w[i] = load32(key + 4 * i);
  uint32_t rcon = 0x01;
  for (int i = nk; i < total; ++i) {
    uint32_t temp = w[i - 1];
    if (i % nk == 0) {
      temp = subWord((temp << 8) | (temp >> 24)) ^ (rcon << 24);
      rcon = xtime(static_cast<uint8_t>(rcon));
    } else if (nk > 6 && i % nk == 4) {
      temp = subWord(temp);
    }
    w[i] = w[i - nk] ^ temp;
  }
}

void aesInvertKey(uint32_t* w, int rounds) {
  // InvMixColumns(v) = sum of the inverse tables at S(v): the tables hold InvMix of InvS.
  for (int i = 4; i < 4 * rounds; ++i) {
    const uint32_t v = w[i];
    w[i] = kT.td[0][kT.sbox[v >> 24]] ^ kT.td[1][kT.sbox[(v >> 16) & 0xff]] ^
           kT.td[2][kT.sbox[(v >> 8) & 0xff]] ^ kT.td[3][kT.sbox[v & 0xff]];
  }
}

void aesEncryptBlock(const uint32_t* rk, int rounds, const unsigned char input[16],
                     unsigned char output[16]) {
  uint32_t s0 = load32(input) ^ rk[0];
  uint32_t s1 = load32(input + 4) ^ rk[1];
  uint32_t s2 = load32(input + 8) ^ rk[2];
  uint32_t s3 = load32(input + 12) ^ rk[3];
  uint32_t t0, t1, t2, t3;
  // Two rounds per pass, the last pass stopping before the final round.
  for (int pass = rounds / 2;;) {
    ENC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk + 4);
    rk += 8;
    if (--pass == 0) break;
    ENC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
  }
  store32(output, lastWord(kT.sbox, t0, t1, t2, t3, rk[0]));
  store32(output + 4, lastWord(kT.sbox, t1, t2, t3, t0, rk[1]));
  store32(output + 8, lastWord(kT.sbox, t2, t3, t0, t1, rk[2]));
  store32(output + 12, lastWord(kT.sbox, t3, t0, t1, t2, rk[3]));
}

void aesDecryptBlock(const uint32_t* rk, int rounds, const unsigned char input[16],
                     unsigned char output[16]) {
  rk += 4 * rounds;  // the equivalent inverse cipher walks the schedule backwards
  uint32_t s0 = load32(input) ^ rk[0];
  uint32_t s1 = load32(input + 4) ^ rk[1];
  uint32_t s2 = load32(input + 8) ^ rk[2];
  uint32_t s3 = load32(input + 12) ^ rk[3];
  uint32_t t0, t1, t2, t3;
  for (int pass = rounds / 2;;) {
    DEC_ROUND(t0, t1, t2, t3, s0, s1, s2, s3, rk - 4);
    rk -= 8;
    if (--pass == 0) break;
    DEC_ROUND(s0, s1, s2, s3, t0, t1, t2, t3, rk);
  }
  store32(output, lastWord(kT.inv, t0, t3, t2, t1, rk[0]));
  store32(output + 4, lastWord(kT.inv, t1, t0, t3, t2, rk[1]));
  store32(output + 8, lastWord(kT.inv, t2, t1, t0, t3, rk[2]));
  store32(output + 12, lastWord(kT.inv, t3, t2, t1, t0, rk[3]));
}
