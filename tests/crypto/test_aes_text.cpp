// The encrypted-text forms: AES-256-CBC with marker and padding, AES-128 64-byte chunks,
// checked against Mbed TLS so the form itself (not only the round trip) is pinned.
#include <gtest/gtest.h>
#include <mbedtls/aes.h>

#include <string>
#include <thread>
#include <vector>

#include "CipherTestSupport.h"
#include "crypto/AES.h"
#include "crypto/Aes128.h"
#include "util/Tool.h"

namespace {

const Bytes kKey32 = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
const Bytes kKey16 = fromHex("2b7e151628aed2a6abf7158809cf4f3c");
const Bytes kIv = fromHex("000102030405060708090a0b0c0d0e0f");

Bytes mbedCbc(bool decrypt, const Bytes& key, Bytes iv, const Bytes& in) {
  mbedtls_aes_context a;
  mbedtls_aes_init(&a);
  const unsigned bits = static_cast<unsigned>(key.size() * 8);
  decrypt ? mbedtls_aes_setkey_dec(&a, key.data(), bits) : mbedtls_aes_setkey_enc(&a, key.data(), bits);
  Bytes out(in.size());
  mbedtls_aes_crypt_cbc(&a, decrypt ? MBEDTLS_AES_DECRYPT : MBEDTLS_AES_ENCRYPT, in.size(), iv.data(),
                        in.data(), out.data());
  mbedtls_aes_free(&a);
  return out;
}

Bytes take(const unsigned char* p, uint64_t n) { return Bytes(p, p + n); }

// Marker, text, NUL, then PKCS #7 padding.
Bytes expectedPlain(const std::string& text) {
  Bytes p;
  const std::string marked = "HalvorantAESCBC" + text;
  p.assign(marked.begin(), marked.end());
  p.push_back(0);
  const size_t pad = 16 - p.size() % 16;
  p.insert(p.end(), pad, static_cast<unsigned char>(pad));
  return p;
}

TEST(Aes256Text, FormAndLengths) {
  struct Case {
    size_t textLength, cipherLength;
  };
  const Case cases[] = {{0, 32}, {1, 32}, {15, 32}, {16, 48}, {31, 48}, {32, 64}, {1000, 1024}};
  for (const Case& c : cases) {
    std::string text(c.textLength, 'x');
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    uint64_t length = 0;
    unsigned char* cipher = AES256_Encrypt_CBC(text.c_str(), kKey32.data(), kIv.data(), &length);
    ASSERT_NE(cipher, nullptr);
    ASSERT_EQ(length, c.cipherLength) << c.textLength;
    EXPECT_EQ(mbedCbc(true, kKey32, kIv, take(cipher, length)), expectedPlain(text)) << c.textLength;

    ::testing::internal::CaptureStdout();
    char* back = AES256_Decrypt_CBC(cipher, length, kKey32.data(), kIv.data());
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(std::string(back), text);
    EXPECT_NE(out.find("AES: "), std::string::npos);
    EXPECT_NE(out.find("Remove prefix"), std::string::npos);
    freeMem(back);
    freeMem(cipher);
  }
  // The out length is optional.
  unsigned char* cipher = AES256_Encrypt_CBC("abc", kKey32.data(), kIv.data(), nullptr);
  EXPECT_NE(cipher, nullptr);
  freeMem(cipher);
}

TEST(Aes256Text, NullArgumentsWarnInOrder) {
  struct Case {
    bool text, key, iv;
    const char* name;
  };
  const Case cases[] = {{false, false, false, "inputText"},
                        {true, false, false, "inputKey"},
                        {true, true, false, "inputIV"}};
  const unsigned char data[32] = {};
  for (const Case& c : cases) {
    const unsigned char* key = c.key ? kKey32.data() : nullptr;
    const unsigned char* iv = c.iv ? kIv.data() : nullptr;
    const std::string expected = std::string("Parameter ") + c.name + " is null at AES ";
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(AES256_Encrypt_CBC(c.text ? "t" : nullptr, key, iv, nullptr), nullptr);
    EXPECT_EQ(AES256_Decrypt_CBC(c.text ? data : nullptr, 32, key, iv), nullptr);
    EXPECT_EQ(AES128_Encrypt_CBC(c.text ? "t" : nullptr, key, iv, nullptr), nullptr);
    EXPECT_EQ(AES128_Decrypt_CBC(c.text ? data : nullptr, 32, key, iv), nullptr);
    const std::string out = ::testing::internal::GetCapturedStdout();
    size_t count = 0;
    for (size_t at = out.find(expected); at != std::string::npos; at = out.find(expected, at + 1)) ++count;
    EXPECT_EQ(count, 4u) << out;
  }
}

TEST(Aes256Text, DecryptionFailuresGiveNullAndTheEngineCode) {
  uint64_t length = 0;
  unsigned char* cipher = AES256_Encrypt_CBC("a secret value", kKey32.data(), kIv.data(), &length);
  ASSERT_NE(cipher, nullptr);
  Bytes wrongKey = kKey32;
  wrongKey[0] ^= 1;
  struct Case {
    const char* name;
    uint64_t length;
    const unsigned char* key;
    const char* warning;
  };
  const Case cases[] = {
      {"wrong key", length, wrongKey.data(), "Error code 64 = 0x40 at "},
      // The final step gets the room left after the Update: mostly under one block, so it
      // refuses with 0x150; with exactly one block of room, with 0x41.
      {"not whole blocks", length - 3, kKey32.data(), "Error code 336 = 0x150 at "},
      {"one short of whole blocks", length - 1, kKey32.data(), "Error code 65 = 0x41 at "},
      {"nothing", 0, kKey32.data(), "Error code 336 = 0x150 at "},
  };
  for (const Case& c : cases) {
    ::testing::internal::CaptureStdout();
    char* text = AES256_Decrypt_CBC(cipher, c.length, c.key, kIv.data());
    const std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(text, nullptr) << c.name;
    EXPECT_NE(out.find(c.warning), std::string::npos) << c.name << ": " << out;
    EXPECT_NE(out.find(" line in AES"), std::string::npos) << c.name;
    freeMem(text);
  }
  freeMem(cipher);
}

TEST(Aes256Text, UnmarkedPlaintextComesBackExactly) {
  // Other producers' cipher texts: the whole plaintext, ending where it ends (no padding
  // bytes behind it), one block or several.
  for (const std::string& plain : {std::string("abc"), std::string(40, 'q'), std::string(16, 'z')}) {
    Bytes padded(plain.begin(), plain.end());
    const size_t pad = 16 - padded.size() % 16;
    padded.insert(padded.end(), pad, static_cast<unsigned char>(pad));
    const Bytes cipher = mbedCbc(false, kKey32, kIv, padded);
    ::testing::internal::CaptureStdout();
    char* text = AES256_Decrypt_CBC(cipher.data(), cipher.size(), kKey32.data(), kIv.data());
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), plain);
    EXPECT_EQ(out.find("Remove prefix"), std::string::npos);
    freeMem(text);
  }
}

TEST(Aes256Text, WorksWithoutRandomDevice) {
  // The plaintext is then wiped with zeros; the result must not change.
  setSecureRandomDevice("/nonexistent/random");
  uint64_t length = 0;
  unsigned char* cipher = AES256_Encrypt_CBC("still fine", kKey32.data(), kIv.data(), &length);
  ::testing::internal::CaptureStdout();
  char* text = AES256_Decrypt_CBC(cipher, length, kKey32.data(), kIv.data());
  ::testing::internal::GetCapturedStdout();
  setSecureRandomDevice(nullptr);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "still fine");
  freeMem(text);
  freeMem(cipher);
}

TEST(Aes256Text, ConcurrentCallsAreIndependent) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        const std::string text = "thread " + std::to_string(t) + " value " + std::to_string(i);
        uint64_t length = 0;
        unsigned char* cipher = AES256_Encrypt_CBC(text.c_str(), kKey32.data(), kIv.data(), &length);
        Bytes plain = mbedCbc(true, kKey32, kIv, take(cipher, length));
        if (plain != expectedPlain(text)) ++failures[t];
        freeMem(cipher);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

TEST(Aes128Block, StandardVectors) {
  // FIPS-197 C.1.
  const Bytes key = fromHex("000102030405060708090a0b0c0d0e0f");
  const Bytes plain = fromHex("00112233445566778899aabbccddeeff");
  unsigned char out[16], back[16];
  AES128_ECB_encrypt(plain.data(), key.data(), out);
  EXPECT_EQ(toHex(take(out, 16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
  AES128_ECB_decrypt(out, key.data(), back);
  EXPECT_EQ(take(back, 16), plain);

  // SP 800-38A F.2.1, in one call and as one keyed call plus a continuing call.
  const Bytes text = fromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const std::string expected =
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7";
  AES128_STATE s{};
  Bytes c(64);
  AES128_CBC_encrypt_buffer(&s, c.data(), text.data(), 64, kKey16.data(), kIv.data());
  EXPECT_EQ(toHex(c), expected);
  Bytes pieces(64);
  AES128_STATE s2{};
  AES128_CBC_encrypt_buffer(&s2, pieces.data(), text.data(), 16, kKey16.data(), kIv.data());
  AES128_CBC_encrypt_buffer(&s2, pieces.data() + 16, text.data() + 16, 48, nullptr, nullptr);
  EXPECT_EQ(pieces, c);
  Bytes d(64);
  AES128_CBC_decrypt_buffer(&s, d.data(), c.data(), 64, kKey16.data(), kIv.data());
  EXPECT_EQ(d, text);

  // A state that never received a key writes nothing.
  AES128_STATE fresh{};
  Bytes untouched(16, 0xee);
  AES128_CBC_encrypt_buffer(&fresh, untouched.data(), text.data(), 16, nullptr, kIv.data());
  EXPECT_EQ(untouched, Bytes(16, 0xee));
}

TEST(Aes128Text, ChunkedForm) {
  struct Case {
    size_t textLength, cipherLength;
  };
  const Case cases[] = {{0, 64}, {63, 64}, {64, 128}, {128, 192}};
  for (const Case& c : cases) {
    const std::string text(c.textLength, 'a');
    uint64_t length = 0;
    unsigned char* cipher = AES128_Encrypt_CBC(text.c_str(), kKey16.data(), kIv.data(), &length);
    ASSERT_NE(cipher, nullptr);
    ASSERT_EQ(length, c.cipherLength);
    // Each chunk is CBC on its own from the same vector.
    Bytes plain(c.cipherLength, 0);
    std::copy(text.begin(), text.end(), plain.begin());
    for (size_t at = 0; at < length; at += 64)
      EXPECT_EQ(take(cipher + at, 64), mbedCbc(false, kKey16, kIv, take(plain.data() + at, 64)))
          << c.textLength << " chunk " << at / 64;
    if (c.textLength == 128) {
      EXPECT_EQ(take(cipher, 64), take(cipher + 64, 64));  // equal chunks, equal cipher
    }

    unsigned char* back = AES128_Decrypt_CBC(cipher, length, kKey16.data(), kIv.data());
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(take(back, length), plain);
    EXPECT_EQ(back[length], 0);
    EXPECT_STREQ(reinterpret_cast<char*>(back), text.c_str());
    freeMem(back);
    freeMem(cipher);
  }
}

TEST(Aes128Text, ShortLastChunkIsZeroExtended) {
  uint64_t length = 0;
  unsigned char* cipher = AES128_Encrypt_CBC("short", kKey16.data(), kIv.data(), &length);
  ASSERT_EQ(length, 64u);
  // Only the first 20 bytes given: the rest of the chunk counts as zero bytes.
  unsigned char* back = AES128_Decrypt_CBC(cipher, 20, kKey16.data(), kIv.data());
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(reinterpret_cast<char*>(back), "short");  // first block intact
  EXPECT_EQ(back[20], 0);
  freeMem(back);
  back = AES128_Decrypt_CBC(cipher, 0, kKey16.data(), kIv.data());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back[0], 0);
  freeMem(back);
  freeMem(cipher);
}

}  // namespace
