// Differential tests: the engine against Mbed TLS's AES, DES/3DES and ARC4 on random keys,
// vectors, lengths and chunkings, every mechanism, both directions; CBC-MAC against a
// reference built from Mbed TLS CBC.
#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/arc4.h>
#include <mbedtls/des.h>

#include <algorithm>
#include <random>

#include "CipherTestSupport.h"

namespace {

enum class Kind { Ecb, Cbc, CbcPad, Mac, Stream };

struct Mech {
  const char* name;
  uint64_t number;
  Kind kind;
  size_t block;  // 1 for RC4
};

const Mech kMechs[] = {
    {"RC4", CKM_RC4, Kind::Stream, 1},
    {"DES_ECB", CKM_DES_ECB, Kind::Ecb, 8},
    {"DES_CBC", CKM_DES_CBC, Kind::Cbc, 8},
    {"DES_MAC", CKM_DES_MAC, Kind::Mac, 8},
    {"DES_MAC_GENERAL", CKM_DES_MAC_GENERAL, Kind::Mac, 8},
    {"DES_CBC_PAD", CKM_DES_CBC_PAD, Kind::CbcPad, 8},
    {"DES3_ECB", CKM_DES3_ECB, Kind::Ecb, 8},
    {"DES3_CBC", CKM_DES3_CBC, Kind::Cbc, 8},
    {"DES3_MAC", CKM_DES3_MAC, Kind::Mac, 8},
    {"DES3_MAC_GENERAL", CKM_DES3_MAC_GENERAL, Kind::Mac, 8},
    {"DES3_CBC_PAD", CKM_DES3_CBC_PAD, Kind::CbcPad, 8},
    {"AES_ECB", CKM_AES_ECB, Kind::Ecb, 16},
    {"AES_CBC", CKM_AES_CBC, Kind::Cbc, 16},
    {"AES_MAC", CKM_AES_MAC, Kind::Mac, 16},
    {"AES_MAC_GENERAL", CKM_AES_MAC_GENERAL, Kind::Mac, 16},
    {"AES_CBC_PAD", CKM_AES_CBC_PAD, Kind::CbcPad, 16},
};

// Mbed TLS ECB or CBC (zero-length IV means ECB) over whole blocks, or RC4.
Bytes reference(const Mech& m, bool decrypt, const Bytes& key, Bytes iv, const Bytes& in) {
  Bytes out(in.size());
  const bool ecb = m.kind == Kind::Ecb;
  if (m.block == 1) {
    mbedtls_arc4_context a;
    mbedtls_arc4_init(&a);
    mbedtls_arc4_setup(&a, key.data(), static_cast<unsigned>(key.size()));
    mbedtls_arc4_crypt(&a, in.size(), in.data(), out.data());
    mbedtls_arc4_free(&a);
  } else if (m.block == 16) {
    mbedtls_aes_context a;
    mbedtls_aes_init(&a);
    const unsigned bits = static_cast<unsigned>(key.size() * 8);
    decrypt ? mbedtls_aes_setkey_dec(&a, key.data(), bits) : mbedtls_aes_setkey_enc(&a, key.data(), bits);
    const int mode = decrypt ? MBEDTLS_AES_DECRYPT : MBEDTLS_AES_ENCRYPT;
    if (ecb) {
      for (size_t i = 0; i < in.size(); i += 16) mbedtls_aes_crypt_ecb(&a, mode, in.data() + i, out.data() + i);
    } else {
      mbedtls_aes_crypt_cbc(&a, mode, in.size(), iv.data(), in.data(), out.data());
    }
    mbedtls_aes_free(&a);
  } else if (key.size() == 8) {
    mbedtls_des_context d;
    mbedtls_des_init(&d);
    decrypt ? mbedtls_des_setkey_dec(&d, key.data()) : mbedtls_des_setkey_enc(&d, key.data());
    const int mode = decrypt ? MBEDTLS_DES_DECRYPT : MBEDTLS_DES_ENCRYPT;
    if (ecb) {
      for (size_t i = 0; i < in.size(); i += 8) mbedtls_des_crypt_ecb(&d, in.data() + i, out.data() + i);
    } else {
      mbedtls_des_crypt_cbc(&d, mode, in.size(), iv.data(), in.data(), out.data());
    }
    mbedtls_des_free(&d);
  } else {
    mbedtls_des3_context d;
    mbedtls_des3_init(&d);
    if (key.size() == 16)
      decrypt ? mbedtls_des3_set2key_dec(&d, key.data()) : mbedtls_des3_set2key_enc(&d, key.data());
    else
      decrypt ? mbedtls_des3_set3key_dec(&d, key.data()) : mbedtls_des3_set3key_enc(&d, key.data());
    const int mode = decrypt ? MBEDTLS_DES_DECRYPT : MBEDTLS_DES_ENCRYPT;
    if (ecb) {
      for (size_t i = 0; i < in.size(); i += 8) mbedtls_des3_crypt_ecb(&d, in.data() + i, out.data() + i);
    } else {
      mbedtls_des3_crypt_cbc(&d, mode, in.size(), iv.data(), in.data(), out.data());
    }
    mbedtls_des3_free(&d);
  }
  return out;
}

void PrintTo(const Mech& v, std::ostream* os) { *os << v.name; }

class Differential : public ::testing::TestWithParam<Mech> {
 protected:
  std::mt19937 rng{0x5eed0000u + static_cast<unsigned>(GetParam().number)};

  Bytes random(size_t n) {
    Bytes b(n);
    for (auto& x : b) x = static_cast<unsigned char>(rng());
    return b;
  }
  size_t below(size_t n) { return n ? rng() % n : 0; }

  // Random piece lengths, zero-length pieces included.
  std::vector<size_t> randomPieces(size_t length) {
    std::vector<size_t> cuts;
    const size_t count = below(6);
    for (size_t i = 0; i < count; ++i) cuts.push_back(below(length + 1));
    std::sort(cuts.begin(), cuts.end());
    return piecesFromCuts(length, cuts);
  }

  std::vector<size_t> keyLengths() {
    const Mech& m = GetParam();
    if (m.block == 16) return {16, 24, 32};
    if (m.block == 8) return {8, 16, 24};
    return {1, 5, 16, 40, 256, 300};
  }
};

TEST_P(Differential, AgainstMbedTls) {
  const Mech& m = GetParam();
  for (size_t keyLength : keyLengths()) {
    for (int round = 0; round < 60; ++round) {
      const Bytes key = random(keyLength);
      const Bytes iv = m.kind == Kind::Cbc || m.kind == Kind::CbcPad ? random(m.block) : Bytes();
      const size_t blocks = below(40);
      const size_t tail = m.kind == Kind::CbcPad || m.kind == Kind::Mac || m.kind == Kind::Stream
                              ? below(m.block)
                              : 0;
      const Bytes plain = random(blocks * m.block + tail);
      SCOPED_TRACE(::testing::Message() << m.name << " key " << keyLength << " round " << round
                                        << " length " << plain.size());

      if (m.kind == Kind::Mac) {
        // CBC-MAC: zero IV, data completed with zero bytes (a zero block when empty).
        Bytes padded = plain;
        padded.resize(plain.empty() ? m.block : (plain.size() + m.block - 1) / m.block * m.block, 0);
        const Mech cbc{"", 0, Kind::Cbc, m.block};
        const Bytes chain = reference(cbc, false, key, Bytes(m.block, 0), padded);
        const Bytes expected(chain.end() - static_cast<long>(m.block),
                             chain.end() - static_cast<long>(m.block / 2));
        const RunResult mac = runMac(m.number, key, plain, randomPieces(plain.size()));
        ASSERT_EQ(mac.rv, CKR_OK);
        EXPECT_EQ(toHex(mac.output), toHex(expected));
        continue;
      }

      Bytes padded = plain;
      if (m.kind == Kind::CbcPad) padded.resize(plain.size() + (m.block - tail), static_cast<unsigned char>(m.block - tail));
      const Bytes cipher = reference(m, false, key, iv, padded);

      const RunResult enc = runCipher(false, m.number, key, iv, plain, randomPieces(plain.size()));
      ASSERT_EQ(enc.rv, CKR_OK);
      EXPECT_EQ(toHex(enc.output), toHex(cipher));

      const RunResult dec = runCipher(true, m.number, key, iv, cipher, randomPieces(cipher.size()));
      ASSERT_EQ(dec.rv, CKR_OK);
      EXPECT_EQ(toHex(dec.output), toHex(plain));
      if (m.kind != Kind::CbcPad) {
        EXPECT_EQ(toHex(reference(m, true, key, iv, cipher)), toHex(plain));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, Differential, ::testing::ValuesIn(kMechs),
                         [](const auto& info) { return std::string(info.param.name); });

// Parity helpers against Mbed TLS's own parity setter.
TEST(DifferentialParity, DESPrtMatchesMbedTls) {
  std::mt19937 rng(7);
  for (int round = 0; round < 200; ++round) {
    unsigned char ours[8], theirs[8];
    for (int i = 0; i < 8; ++i) ours[i] = theirs[i] = static_cast<unsigned char>(rng());
    DESPrt(ours, 8);
    mbedtls_des_key_set_parity(theirs);
    EXPECT_EQ(0, std::memcmp(ours, theirs, 8));
    EXPECT_EQ(0, mbedtls_des_key_check_key_parity(ours));
  }
}

}  // namespace
