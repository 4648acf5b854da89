// Known-answer vectors from the published standards, each run in one piece, byte by byte
// and split in two at every offset, in both directions.
#include <gtest/gtest.h>

#include "CipherTestSupport.h"

namespace {

struct Vector {
  const char* name;
  uint64_t mechanism;
  const char* key;
  const char* iv;  // "" for ECB and RC4
  const char* plain;
  const char* cipher;
};

// SP 800-38A F.1 / F.2 share these four plaintext blocks.
#define SP38A_PLAIN                                                                     \
  "6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51 "                  \
  "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710"
#define K128 "2b7e151628aed2a6abf7158809cf4f3c"
#define K192 "8e73b0f7da0e6452c810f32b809079e562f8ead2522c6b7b"
#define K256 "603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"
#define SP38A_IV "000102030405060708090a0b0c0d0e0f"
// FIPS 81 examples.
#define FIPS81_KEY "0123456789abcdef"
#define FIPS81_PLAIN "4e6f772069732074 68652074696d6520 666f7220616c6c20"

const Vector kVectors[] = {
    // FIPS-197 Appendix B and C.
    {"FIPS197_B", CKM_AES_ECB, K128, "", "3243f6a8885a308d313198a2e0370734",
     "3925841d02dc09fbdc118597196a0b32"},
    {"FIPS197_C1", CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f", "",
     "00112233445566778899aabbccddeeff", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"FIPS197_C2", CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f1011121314151617", "",
     "00112233445566778899aabbccddeeff", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"FIPS197_C3", CKM_AES_ECB, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "", "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089"},
    // SP 800-38A F.1 (ECB) and F.2 (CBC).
    {"SP38A_ECB_AES128", CKM_AES_ECB, K128, "", SP38A_PLAIN,
     "3ad77bb40d7a3660a89ecaf32466ef97 f5d3d58503b9699de785895a96fdbaaf "
     "43b1cd7f598ece23881b00e3ed030688 7b0c785e27e8ad3f8223207104725dd4"},
    {"SP38A_ECB_AES192", CKM_AES_ECB, K192, "", SP38A_PLAIN,
     "bd334f1d6e45f25ff712a214571fa5cc 974104846d0ad3ad7734ecb3ecee4eef "
     "ef7afd2270e2e60adce0ba2face6444e 9a4b41ba738d6c72fb16691603c18e0e"},
    {"SP38A_ECB_AES256", CKM_AES_ECB, K256, "", SP38A_PLAIN,
     "f3eed1bdb5d2a03c064b5a7e3db181f8 591ccb10d410ed26dc5ba74a31362870 "
     "b6ed21b99ca6f4f9f153e7b1beafed1d 23304b7a39f9f3ff067d8d8f9e24ecc7"},
    {"SP38A_CBC_AES128", CKM_AES_CBC, K128, SP38A_IV, SP38A_PLAIN,
     "7649abac8119b246cee98e9b12e9197d 5086cb9b507219ee95db113a917678b2 "
     "73bed6b8e3c1743b7116e69e22229516 3ff1caa1681fac09120eca307586e1a7"},
    {"SP38A_CBC_AES192", CKM_AES_CBC, K192, SP38A_IV, SP38A_PLAIN,
     "4f021db243bc633d7178183a9fa071e8 b4d9ada9ad7dedf4e5e738763f69145a "
     "571b242012fb7ae07fa9baac3df102e0 08b0e27988598881d920a9e64f5615cd"},
    {"SP38A_CBC_AES256", CKM_AES_CBC, K256, SP38A_IV, SP38A_PLAIN,
     "f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d "
     "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b"},
    // Classic single-DES worked example; FIPS 81 ECB and CBC examples.
    {"DES_worked", CKM_DES_ECB, "133457799bbcdff1", "", "0123456789abcdef", "85e813540f0ab405"},
    {"FIPS81_ECB", CKM_DES_ECB, FIPS81_KEY, "", FIPS81_PLAIN,
     "3fa40e8a984d4815 6a271787ab8883f9 893d51ec4b563b53"},
    {"FIPS81_CBC", CKM_DES_CBC, FIPS81_KEY, "1234567890abcdef", FIPS81_PLAIN,
     "e5c7cdde872bf27c 43e934008c389c0f 683788499a7c05f6"},
    // A DES3 mechanism with an 8-byte key is single DES.
    {"DES3_ECB_8byte_key", CKM_DES3_ECB, "133457799bbcdff1", "", "0123456789abcdef",
     "85e813540f0ab405"},
    // SP 800-67 three-key example; a DES mechanism with a 24-byte key runs triple DES.
    {"SP800_67_TDEA", CKM_DES3_ECB, "0123456789abcdef 23456789abcdef01 456789abcdef0123", "",
     "5468652071756663 6b2062726f776e20 666f78206a756d70",
     "a826fd8ce53b855f cce21c8112256fe6 68d5c05dd9b6b900"},
    {"DES_ECB_24byte_key", CKM_DES_ECB, "0123456789abcdef 23456789abcdef01 456789abcdef0123", "",
     "5468652071756663 6b2062726f776e20 666f78206a756d70",
     "a826fd8ce53b855f cce21c8112256fe6 68d5c05dd9b6b900"},
    // RFC 6229 keystreams (offsets 0..31) and the classic RC4 examples.
    {"RFC6229_40bit", CKM_RC4, "0102030405", "",
     "00000000000000000000000000000000 00000000000000000000000000000000",
     "b2396305f03dc027ccc3524a0a1118a8 6982944f18fc82d589c403a47a0d0919"},
    {"RFC6229_128bit", CKM_RC4, "0102030405060708090a0b0c0d0e0f10", "",
     "00000000000000000000000000000000 00000000000000000000000000000000",
     "9ac7cc9a609d1ef7b2932899cde41b97 5248c4959014126a6e8a84f11d1a9e1c"},
    {"RC4_Key", CKM_RC4, "4b6579", "", "506c61696e74657874", "bbf316e8d940af0ad3"},
    {"RC4_Secret", CKM_RC4, "536563726574", "", "41747461636b206174206461776e",
     "45a01f645fc35b383552544b9bf5"},
};

void PrintTo(const Vector& v, std::ostream* os) { *os << v.name; }

class KnownAnswer : public ::testing::TestWithParam<Vector> {};

TEST_P(KnownAnswer, AllSplitsBothDirections) {
  const Vector& v = GetParam();
  const Bytes key = fromHex(v.key), iv = fromHex(v.iv);
  const Bytes plain = fromHex(v.plain), cipher = fromHex(v.cipher);
  ASSERT_EQ(plain.size(), cipher.size());

  std::vector<std::vector<size_t>> splits = {onePiece(plain.size()), bytewise(plain.size())};
  for (size_t cut = 0; cut <= plain.size(); ++cut) splits.push_back(piecesFromCuts(plain.size(), {cut}));

  for (const auto& pieces : splits) {
    const RunResult enc = runCipher(false, v.mechanism, key, iv, plain, pieces);
    ASSERT_EQ(enc.rv, CKR_OK) << pieces.size() << " pieces";
    EXPECT_EQ(toHex(enc.output), toHex(cipher)) << pieces.size() << " pieces, first " << pieces[0];
    const RunResult dec = runCipher(true, v.mechanism, key, iv, cipher, pieces);
    ASSERT_EQ(dec.rv, CKR_OK) << pieces.size() << " pieces";
    EXPECT_EQ(toHex(dec.output), toHex(plain)) << pieces.size() << " pieces, first " << pieces[0];
  }
}

INSTANTIATE_TEST_SUITE_P(Standards, KnownAnswer, ::testing::ValuesIn(kVectors),
                         [](const auto& info) { return std::string(info.param.name); });

// The padding mechanisms add one block to the published CBC answers and strip it again.
TEST(KnownAnswerPadded, CbcPadExtendsPublishedCbc) {
  struct Case {
    uint64_t pad, plain;
  };
  const Case cases[] = {{CKM_AES_CBC_PAD, CKM_AES_CBC}, {CKM_DES_CBC_PAD, CKM_DES_CBC}};
  for (const Vector& v : kVectors) {
    for (const Case& c : cases) {
      if (v.mechanism != c.plain) continue;
      const Bytes key = fromHex(v.key), iv = fromHex(v.iv), plain = fromHex(v.plain);
      const Bytes cipher = fromHex(v.cipher);
      for (size_t cut = 0; cut <= plain.size(); ++cut) {
        const auto pieces = piecesFromCuts(plain.size(), {cut});
        const RunResult enc = runCipher(false, c.pad, key, iv, plain, pieces);
        ASSERT_EQ(enc.rv, CKR_OK) << v.name;
        const size_t bs = iv.size();
        ASSERT_EQ(enc.output.size(), plain.size() + bs) << v.name;
        EXPECT_EQ(toHex(Bytes(enc.output.begin(), enc.output.begin() + static_cast<long>(plain.size()))),
                  toHex(cipher))
            << v.name;
        // The extra block is a whole block of padding: plain CBC decryption shows it.
        const RunResult raw = runCipher(true, c.plain, key, iv, enc.output, onePiece(enc.output.size()));
        ASSERT_EQ(raw.rv, CKR_OK);
        EXPECT_EQ(Bytes(raw.output.end() - static_cast<long>(bs), raw.output.end()),
                  Bytes(bs, static_cast<unsigned char>(bs)))
            << v.name;
        const RunResult dec = runCipher(true, c.pad, key, iv, enc.output,
                                        piecesFromCuts(enc.output.size(), {cut}));
        ASSERT_EQ(dec.rv, CKR_OK) << v.name;
        EXPECT_EQ(dec.output, plain) << v.name;
      }
    }
  }
}

// CBC-MAC from the published CBC answers: with the IV folded into the first block, the MAC
// (zero IV) is the first half of the last published cipher block.
TEST(KnownAnswerMac, CbcMacFromPublishedCbc) {
  struct Case {
    uint64_t cbc;
    std::vector<uint64_t> macs;
  };
  const Case cases[] = {{CKM_AES_CBC, {CKM_AES_MAC, CKM_AES_MAC_GENERAL}},
                        {CKM_DES_CBC, {CKM_DES_MAC, CKM_DES_MAC_GENERAL, CKM_DES3_MAC, CKM_DES3_MAC_GENERAL}}};
  int checked = 0;
  for (const Vector& v : kVectors) {
    for (const Case& c : cases) {
      if (v.mechanism != c.cbc) continue;
      const Bytes key = fromHex(v.key), iv = fromHex(v.iv), cipher = fromHex(v.cipher);
      Bytes data = fromHex(v.plain);
      for (size_t i = 0; i < iv.size(); ++i) data[i] ^= iv[i];
      const std::string expected =
          toHex(Bytes(cipher.end() - static_cast<long>(iv.size()), cipher.end() - static_cast<long>(iv.size() / 2)));
      for (uint64_t mac : c.macs) {
        for (size_t cut = 0; cut <= data.size(); ++cut) {
          const RunResult r = runMac(mac, key, data, piecesFromCuts(data.size(), {cut}));
          ASSERT_EQ(r.rv, CKR_OK) << v.name;
          EXPECT_EQ(toHex(r.output), expected) << v.name << " mechanism " << mac << " cut " << cut;
        }
        const RunResult r = runMac(mac, key, data, bytewise(data.size()));
        EXPECT_EQ(toHex(r.output), expected) << v.name;
        ++checked;
      }
    }
  }
  EXPECT_GT(checked, 0);
}

// FIPS-197 Appendix A: the first and the last expanded word for each key size.
TEST(KnownAnswerKeyExpansion, FipsAppendixA) {
  struct Case {
    const char* key;
    uint64_t words;
    uint32_t first, last;  // w[Nk] (first expanded word) and the last word
  };
  const Case cases[] = {{K128, 44, 0xa0fafe17u, 0xb6630ca6u},
                        {K192, 52, 0xfe0c91f7u, 0x01002202u},
                        {K256, 60, 0x9ba35411u, 0x706c631eu}};
  for (const Case& c : cases) {
    SK_CONTEXT ctx{};
    const Bytes key = fromHex(c.key);
    ASSERT_EQ(SK_EncryptInit(&ctx, CKM_AES_ECB, key.data(), key.size()), CKR_OK);
    EXPECT_EQ(ctx.KeyLen, c.words);
    EXPECT_EQ(ctx.Key[key.size() / 4], c.first) << c.key;
    EXPECT_EQ(ctx.Key[c.words - 1], c.last) << c.key;
  }
}

}  // namespace
