// Table-driven DES: the eight S-boxes fused with the P permutation into 64-entry tables,
// built at compile time from the published boxes.
#include "crypto/DesCore.h"

#include <cstddef>

namespace {

constexpr unsigned char kSBox[8][64] = {
    {14, 4,  13, 1,  2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6,  12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0,  15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7,  2,  13, 12, 0,  5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5,  0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6,  3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9,  3,  4,
     6,  10, 2,  8,  5,  14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12,
     5,  10, 14, 7,  1,  10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3,  0,  6,  9,  10, 1,  2,  8,  5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7,  2,  12, 1,  10, 14, 9,  10, 6,  9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4,  3,  15, 0,  6,  10, 1,  13, 8,  9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5,  3,  15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6,  4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0,  11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0,  8,  13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2,  15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8,  1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4,  6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5,  6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8,  2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Bit numbers count from 1 at the most significant bit, as in the standard.
constexpr unsigned char kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                  2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr unsigned char kPC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                                    10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                                    63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                                    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr unsigned char kPC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                                    23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                                    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                                    44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
constexpr unsigned char kShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr bool sBoxRowsArePermutations() {
  for (const auto& box : kSBox)
    for (int row = 0; row < 4; ++row) {
      unsigned seen = 0;
      for (int col = 0; col < 16; ++col) seen |= 1u << box[row * 16 + col];
      if (seen != 0xffffu) return false;
    }
  return true;
}
static_assert(sBoxRowsArePermutations(), "DES S-box typo");

constexpr uint32_t rotl32(uint32_t v, int n) { return (v << n) | (v >> (32 - n)); }
constexpr uint32_t rotr32(uint32_t v, int n) { return (v >> n) | (v << (32 - n)); }

struct SpTables {
  uint32_t t[8][64];
};

// Entry x of table j: S-box j on the 6 expanded bits x (row from the outer bits), placed
// at its nibble, through P, rotated left by one like the halves after the initial
// permutation below.
constexpr SpTables makeSpTables() {
  SpTables sp{};
  for (int j = 0; j < 8; ++j)
    for (int x = 0; x < 64; ++x) {
      const int row = ((x >> 4) & 2) | (x & 1);
      const int col = (x >> 1) & 0xf;
      const uint32_t nibble = static_cast<uint32_t>(kSBox[j][row * 16 + col]) << (28 - 4 * j);
      uint32_t permuted = 0;
      for (int i = 0; i < 32; ++i)
        if (nibble & (1u << (32 - kP[i]))) permuted |= 1u << (31 - i);
      sp.t[j][x] = rotl32(permuted, 1);
    }
  return sp;
}
constexpr SpTables kSp = makeSpTables();

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

// Swaps the bits selected by mask between a (shifted down) and b.
#define DES_SWAP(a, b, shift, mask)                    \
  do {                                                 \
    const uint32_t swapBits = (((a) >> (shift)) ^ (b)) & (mask); \
    (b) ^= swapBits;                                   \
    (a) ^= swapBits << (shift);                        \
  } while (0)

#define DES_HALF_ROUND(target, source, k)                                                   \
  do {                                                                                      \
    uint32_t w = rotr32((source), 4) ^ (k)[0];                                              \
    uint32_t f = kSp.t[6][w & 0x3f] | kSp.t[4][(w >> 8) & 0x3f] | kSp.t[2][(w >> 16) & 0x3f] | \
                 kSp.t[0][(w >> 24) & 0x3f];                                                \
    w = (source) ^ (k)[1];                                                                  \
    f |= kSp.t[7][w & 0x3f] | kSp.t[5][(w >> 8) & 0x3f] | kSp.t[3][(w >> 16) & 0x3f] |      \
         kSp.t[1][(w >> 24) & 0x3f];                                                        \
    (target) ^= f;                                                                          \
  } while (0)

}  // namespace

void desSchedule(const unsigned char key[8], bool decrypt, uint32_t schedule[32]) {
  uint64_t k = 0;
  for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];
  uint64_t cd = 0;
  for (int i = 0; i < 56; ++i) cd = (cd << 1) | ((k >> (64 - kPC1[i])) & 1);
  uint32_t c = static_cast<uint32_t>(cd >> 28);
  uint32_t d = static_cast<uint32_t>(cd & 0xfffffff);
  for (int round = 0; round < 16; ++round) {
    const int s = kShifts[round];
    c = ((c << s) | (c >> (28 - s))) & 0xfffffff;
    d = ((d << s) | (d >> (28 - s))) & 0xfffffff;
    const uint64_t joined = (static_cast<uint64_t>(c) << 28) | d;
    uint64_t sub = 0;
    for (int i = 0; i < 48; ++i) sub = (sub << 1) | ((joined >> (56 - kPC2[i])) & 1);
    uint32_t group[8];
    for (int g = 0; g < 8; ++g) group[g] = static_cast<uint32_t>((sub >> (42 - 6 * g)) & 0x3f);
    const int slot = decrypt ? 2 * (15 - round) : 2 * round;
    schedule[slot] = (group[0] << 24) | (group[2] << 16) | (group[4] << 8) | group[6];
    schedule[slot + 1] = (group[1] << 24) | (group[3] << 16) | (group[5] << 8) | group[7];
  }
}

void desCrypt(const uint32_t* const schedules[], int count, const unsigned char input[8],
              unsigned char output[8]) {
  uint32_t l = load32(input);
  uint32_t r = load32(input + 4);

  // Initial permutation as a chain of bit-group swaps; both halves end rotated left by one.
  DES_SWAP(l, r, 4, 0x0f0f0f0fu);
  DES_SWAP(l, r, 16, 0x0000ffffu);
  DES_SWAP(r, l, 2, 0x33333333u);
  DES_SWAP(r, l, 8, 0x00ff00ffu);
  r = rotl32(r, 1);
  {
    const uint32_t w = (l ^ r) & 0xaaaaaaaau;
    l ^= w;
    r ^= w;
  }
  l = rotl32(l, 1);

  for (int n = 0; n < count; ++n) {
    const uint32_t* k = schedules[n];
    for (int round = 0; round < 8; ++round, k += 4) {
      DES_HALF_ROUND(l, r, k);
      DES_HALF_ROUND(r, l, k + 2);
    }
    // The last round does not swap; between chained passes the final and initial
    // permutations cancel, leaving only this exchange.
    const uint32_t t = l;
    l = r;
    r = t;
  }

  // Final permutation: the inverse chain.
  l = rotr32(l, 1);
  {
    const uint32_t w = (l ^ r) & 0xaaaaaaaau;
    l ^= w;
    r ^= w;
  }
  r = rotr32(r, 1);
  DES_SWAP(r, l, 8, 0x00ff00ffu);
  DES_SWAP(r, l, 2, 0x33333333u);
  DES_SWAP(l, r, 16, 0x0000ffffu);
  DES_SWAP(l, r, 4, 0x0f0f0f0fu);
  store32(output, l);
  store32(output + 4, r);
}
