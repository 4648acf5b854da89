// The engine's return values, state rules and edge behaviour.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "CipherTestSupport.h"

namespace {

const unsigned char kKey[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31};
const unsigned char kData[64] = {};
unsigned char gOut[128];

using Prepare = std::function<void(SK_CONTEXT*)>;

// Setups: Init, then `feed` bytes through the matching Update.
Prepare encrypting(uint64_t mechanism, uint64_t keyLength, uint64_t feed = 0) {
  return [=](SK_CONTEXT* c) {
    ASSERT_EQ(SK_EncryptInit(c, mechanism, kKey, keyLength), CKR_OK);
    uint64_t length = sizeof gOut;
    if (feed) {
      ASSERT_EQ(SK_EncryptUpdate(c, kData, feed, gOut, &length), CKR_OK);
    }
  };
}
Prepare decrypting(uint64_t mechanism, uint64_t keyLength, uint64_t feed = 0) {
  return [=](SK_CONTEXT* c) {
    ASSERT_EQ(SK_DecryptInit(c, mechanism, kKey, keyLength), CKR_OK);
    uint64_t length = sizeof gOut;
    if (feed) {
      ASSERT_EQ(SK_DecryptUpdate(c, kData, feed, gOut, &length), CKR_OK);
    }
  };
}
Prepare signing(uint64_t mechanism, uint64_t keyLength, uint64_t feed = 0) {
  return [=](SK_CONTEXT* c) {
    ASSERT_EQ(SK_SignInit(c, mechanism, kKey, keyLength), CKR_OK);
    if (feed) {
      ASSERT_EQ(SK_SignUpdate(c, kData, feed), CKR_OK);
    }
  };
}
const Prepare idle = [](SK_CONTEXT*) {};

// A CBC_PAD decryption holding one block whose plaintext is `last` (IV zero).
Prepare holdingPlainBlock(uint64_t mechanism, uint64_t keyLength, Bytes last) {
  return [=](SK_CONTEXT* c) {
    const uint64_t ecb = last.size() == 16 ? CKM_AES_ECB : CKM_DES_ECB;
    const RunResult block = runCipher(false, ecb, Bytes(kKey, kKey + keyLength), {}, last, onePiece(last.size()));
    ASSERT_EQ(block.rv, CKR_OK);
    ASSERT_EQ(SK_DecryptInit(c, mechanism, kKey, keyLength), CKR_OK);
    uint64_t length = sizeof gOut;
    ASSERT_EQ(SK_DecryptUpdate(c, block.output.data(), block.output.size(), gOut, &length), CKR_OK);
    ASSERT_EQ(length, 0u);
  };
}

Bytes withLast(size_t size, std::initializer_list<unsigned char> tail) {
  Bytes b(size, 0x41);
  std::copy(tail.begin(), tail.end(), b.end() - static_cast<long>(tail.size()));
  return b;
}

using Call = std::function<SK_RV(SK_CONTEXT*, uint64_t*)>;

struct ErrorCase {
  const char* name;
  Prepare setup;
  Call call;
  SK_RV expected;
  uint64_t capacity;     // in-out length on entry
  int64_t lengthAfter;   // -1: not checked
  bool keepsContext;     // byte-for-byte unchanged (every non-Init error, queries, 0x150)
  std::function<void(const SK_CONTEXT&)> after;
};

Call encUpdate(uint64_t n, bool withOutput = true) {
  return [=](SK_CONTEXT* c, uint64_t* l) { return SK_EncryptUpdate(c, kData, n, withOutput ? gOut : nullptr, l); };
}
Call decUpdate(uint64_t n) {
  return [=](SK_CONTEXT* c, uint64_t* l) { return SK_DecryptUpdate(c, kData, n, gOut, l); };
}
const Call encFinal = [](SK_CONTEXT* c, uint64_t* l) { return SK_EncryptFinal(c, gOut, l); };
const Call decFinal = [](SK_CONTEXT* c, uint64_t* l) { return SK_DecryptFinal(c, gOut, l); };
const Call signFinal = [](SK_CONTEXT* c, uint64_t* l) { return SK_SignFinal(c, gOut, l); };
Call signUpdate(uint64_t n) {
  return [=](SK_CONTEXT* c, uint64_t*) { return SK_SignUpdate(c, kData, n); };
}
Call encInit(uint64_t mechanism, uint64_t keyLength) {
  return [=](SK_CONTEXT* c, uint64_t*) { return SK_EncryptInit(c, mechanism, kKey, keyLength); };
}
Call decInit(uint64_t mechanism, uint64_t keyLength) {
  return [=](SK_CONTEXT* c, uint64_t*) { return SK_DecryptInit(c, mechanism, kKey, keyLength); };
}
Call signInit(uint64_t mechanism, uint64_t keyLength) {
  return [=](SK_CONTEXT* c, uint64_t*) { return SK_SignInit(c, mechanism, kKey, keyLength); };
}

// A refused Init leaves an idle, keyless context; the mechanism field as given.
std::function<void(const SK_CONTEXT&)> idleWithMechanism(uint64_t mechanism) {
  return [=](const SK_CONTEXT& c) {
    EXPECT_EQ(c.Mechanism, mechanism);
    EXPECT_EQ(c.BufSize, 0u);
    EXPECT_EQ(c.KeyLen, 0u);
    EXPECT_THAT(c.Key, ::testing::Each(0u));
  };
}

const ErrorCase kErrors[] = {
    // Arguments.
    {"EncryptUpdate_null_context", idle,
     [](SK_CONTEXT*, uint64_t* l) { return SK_EncryptUpdate(nullptr, kData, 16, gOut, l); },
     CKR_ARGUMENTS_BAD, 64, 64, true, nullptr},
    {"DecryptUpdate_null_context", idle,
     [](SK_CONTEXT*, uint64_t* l) { return SK_DecryptUpdate(nullptr, kData, 16, gOut, l); },
     CKR_ARGUMENTS_BAD, 64, 64, true, nullptr},
    {"EncryptUpdate_null_length", encrypting(CKM_AES_CBC, 16),
     [](SK_CONTEXT* c, uint64_t*) { return SK_EncryptUpdate(c, kData, 16, gOut, nullptr); },
     CKR_ARGUMENTS_BAD, 64, 64, true, nullptr},
    {"EncryptFinal_null_length", encrypting(CKM_AES_CBC_PAD, 16),
     [](SK_CONTEXT* c, uint64_t*) { return SK_EncryptFinal(c, gOut, nullptr); },
     CKR_ARGUMENTS_BAD, 64, 64, true, nullptr},
    {"SignUpdate_null_context", idle,
     [](SK_CONTEXT*, uint64_t*) { return SK_SignUpdate(nullptr, kData, 4); }, CKR_ARGUMENTS_BAD, 0, -1,
     true, nullptr},
    {"SignUpdate_empty_before_any_check", idle,
     [](SK_CONTEXT*, uint64_t*) { return SK_SignUpdate(nullptr, nullptr, 0); }, CKR_OK, 0, -1, true,
     nullptr},
    {"EncryptUpdate_null_input", encrypting(CKM_AES_CBC, 16),
     [](SK_CONTEXT* c, uint64_t* l) { return SK_EncryptUpdate(c, nullptr, 16, gOut, l); },
     CKR_DATA_INVALID, 64, 64, true, nullptr},
    {"DecryptUpdate_null_input", decrypting(CKM_DES_CBC, 8),
     [](SK_CONTEXT* c, uint64_t* l) { return SK_DecryptUpdate(c, nullptr, 8, gOut, l); },
     CKR_DATA_INVALID, 64, 64, true, nullptr},
    {"SignUpdate_null_data", signing(CKM_AES_MAC, 16),
     [](SK_CONTEXT* c, uint64_t*) { return SK_SignUpdate(c, nullptr, 4); }, CKR_DATA_INVALID, 0, -1,
     true, nullptr},
    {"Update_empty_input_gives_zero", encrypting(CKM_AES_CBC, 16, 5),
     [](SK_CONTEXT* c, uint64_t* l) { return SK_EncryptUpdate(c, nullptr, 0, gOut, l); }, CKR_OK, 64,
     0, true, nullptr},

    // State.
    {"EncryptUpdate_idle", idle, encUpdate(16), CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"DecryptUpdate_idle", idle, decUpdate(16), CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"SignUpdate_idle", idle, signUpdate(16), CKR_OPERATION_NOT_INITIALIZED, 0, -1, true, nullptr},
    {"EncryptFinal_idle", idle, encFinal, CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"DecryptFinal_idle", idle, decFinal, CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"SignFinal_idle", idle, signFinal, CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"EncryptFinal_of_a_MAC", signing(CKM_AES_MAC, 16, 5), encFinal, CKR_OPERATION_NOT_INITIALIZED, 64,
     64, true, nullptr},
    {"DecryptFinal_of_a_MAC", signing(CKM_DES_MAC, 8), decFinal, CKR_OPERATION_NOT_INITIALIZED, 64, 64,
     true, nullptr},
    {"EncryptUpdate_of_a_MAC", signing(CKM_AES_MAC_GENERAL, 16), encUpdate(32),
     CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},
    {"SignUpdate_of_a_cipher", encrypting(CKM_AES_CBC, 16), signUpdate(32),
     CKR_OPERATION_NOT_INITIALIZED, 0, -1, true, nullptr},
    {"SignFinal_of_a_cipher", encrypting(CKM_DES_ECB, 8), signFinal, CKR_OPERATION_NOT_INITIALIZED, 64,
     64, true, nullptr},
    {"SignInit_on_active_context", encrypting(CKM_AES_ECB, 16), signInit(CKM_AES_MAC, 16),
     CKR_OPERATION_ACTIVE, 0, -1, true, nullptr},
    {"Update_on_damaged_context",
     [](SK_CONTEXT* c) {
       encrypting(CKM_AES_CBC, 16)(c);
       c->Buse = 1000;
     },
     encUpdate(16), CKR_OPERATION_NOT_INITIALIZED, 64, 64, true, nullptr},

    // Length.
    {"EncryptFinal_AES_CBC_bytes_left", encrypting(CKM_AES_CBC, 32, 21), encFinal, CKR_DATA_LEN_RANGE,
     64, 64, true, nullptr},
    {"EncryptFinal_DES_CBC_bytes_left", encrypting(CKM_DES_CBC, 8, 7), encFinal, CKR_DATA_LEN_RANGE, 64,
     64, true, nullptr},
    {"DecryptFinal_DES3_ECB_bytes_left", decrypting(CKM_DES3_ECB, 24, 3), decFinal, CKR_DATA_LEN_RANGE,
     64, 64, true, nullptr},
    {"DecryptFinal_pad_half_block", decrypting(CKM_AES_CBC_PAD, 16, 8), decFinal,
     CKR_ENCRYPTED_DATA_LEN_RANGE, 64, 64, true, nullptr},
    {"DecryptFinal_pad_nothing_buffered", decrypting(CKM_DES3_CBC_PAD, 16), decFinal,
     CKR_ENCRYPTED_DATA_LEN_RANGE, 64, 64, true, nullptr},

    // Padding.
    {"Pad_byte_above_block", holdingPlainBlock(CKM_AES_CBC_PAD, 16, withLast(16, {17})), decFinal,
     CKR_ENCRYPTED_DATA_INVALID, 64, 64, true, nullptr},
    // A last byte of 0 is accepted and removes nothing; pages that zero-pad rely on it.
    {"Pad_byte_zero_removes_nothing", holdingPlainBlock(CKM_AES_CBC_PAD, 16, withLast(16, {0})), decFinal,
     CKR_OK, 64, 16, false,
     [](const SK_CONTEXT& c) {
       EXPECT_EQ(c.BufSize, 0u) << "a successful Final ends the operation";
       EXPECT_EQ(Bytes(gOut, gOut + 16), withLast(16, {0}));
     }},
    {"Pad_DES_byte_zero_removes_nothing", holdingPlainBlock(CKM_DES_CBC_PAD, 8, withLast(8, {0})), decFinal,
     CKR_OK, 64, 8, false, nullptr},
    {"Pad_bytes_differ", holdingPlainBlock(CKM_AES_CBC_PAD, 16, withLast(16, {3, 2, 3})), decFinal,
     CKR_ENCRYPTED_DATA_INVALID, 64, 64, true, nullptr},
    {"Pad_DES_byte_9", holdingPlainBlock(CKM_DES_CBC_PAD, 8, withLast(8, {9})), decFinal,
     CKR_ENCRYPTED_DATA_INVALID, 64, 64, true, nullptr},

    // A length that would wrap the buffered count round 2^64 (bytes already buffered).
    {"SignUpdate_length_wraps", signing(CKM_AES_MAC, 16, 5), signUpdate(UINT64_MAX - 2), CKR_DATA_LEN_RANGE,
     0, -1, true, nullptr},
    {"SignUpdate_DES_length_wraps", signing(CKM_DES_MAC, 8, 3), signUpdate(UINT64_MAX), CKR_DATA_LEN_RANGE, 0,
     -1, true, nullptr},
    {"EncryptUpdate_length_wraps", encrypting(CKM_AES_CBC, 16, 5), encUpdate(UINT64_MAX - 2),
     CKR_DATA_LEN_RANGE, 64, 64, true, nullptr},

    // Buffer size and length queries.
    {"EncryptUpdate_one_byte_short", encrypting(CKM_AES_CBC, 16, 3), encUpdate(29),
     CKR_BUFFER_TOO_SMALL, 31, 32, true, nullptr},
    {"EncryptUpdate_length_query", encrypting(CKM_AES_CBC, 16, 3), encUpdate(29, false), CKR_OK, 0, 32,
     true, nullptr},
    {"DecryptUpdate_pad_one_byte_short", decrypting(CKM_AES_CBC_PAD, 16), decUpdate(48),
     CKR_BUFFER_TOO_SMALL, 31, 32, true, nullptr},
    {"EncryptFinal_pad_short", encrypting(CKM_AES_CBC_PAD, 16, 5), encFinal, CKR_BUFFER_TOO_SMALL, 15,
     16, true, nullptr},
    {"DecryptFinal_pad_short", decrypting(CKM_DES_CBC_PAD, 8, 8), decFinal, CKR_BUFFER_TOO_SMALL, 7, 8,
     true, nullptr},
    {"DecryptFinal_pad_query", decrypting(CKM_DES_CBC_PAD, 8, 8),
     [](SK_CONTEXT* c, uint64_t* l) { return SK_DecryptFinal(c, nullptr, l); }, CKR_OK, 0, 8, true,
     nullptr},
    {"EncryptFinal_ECB_query_keeps_operation", encrypting(CKM_AES_ECB, 16),
     [](SK_CONTEXT* c, uint64_t* l) { return SK_EncryptFinal(c, nullptr, l); }, CKR_OK, 64, 0, true,
     nullptr},
    {"SignFinal_AES_short", signing(CKM_AES_MAC, 16, 3), signFinal, CKR_BUFFER_TOO_SMALL, 7, 8, true,
     nullptr},
    {"SignFinal_DES_short", signing(CKM_DES3_MAC, 24, 3), signFinal, CKR_BUFFER_TOO_SMALL, 3, 4, true,
     nullptr},

    // Key sizes and mechanisms at Init (from an active context: a refusal must not leave it half set).
    {"AES_key_15", encrypting(CKM_DES_ECB, 8), encInit(CKM_AES_CBC, 15), CKR_KEY_SIZE_RANGE, 0, -1,
     false, idleWithMechanism(CKM_AES_CBC)},
    {"AES_key_20", idle, decInit(CKM_AES_CBC_PAD, 20), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_AES_CBC_PAD)},
    {"AES_key_33", idle, encInit(CKM_AES_ECB, 33), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_AES_ECB)},
    {"DES_key_7", idle, encInit(CKM_DES_ECB, 7), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_DES_ECB)},
    {"DES_key_12", encrypting(CKM_RC4, 5), decInit(CKM_DES_CBC, 12), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_DES_CBC)},
    {"DES3_key_32", idle, encInit(CKM_DES3_CBC_PAD, 32), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_DES3_CBC_PAD)},
    {"RC4_empty_key", idle, encInit(CKM_RC4, 0), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_RC4)},
    {"SignInit_AES_key_8", idle, signInit(CKM_AES_MAC, 8), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_AES_MAC)},
    {"SignInit_DES_key_17", idle, signInit(CKM_DES_MAC_GENERAL, 17), CKR_KEY_SIZE_RANGE, 0, -1, false,
     idleWithMechanism(CKM_DES_MAC_GENERAL)},
    {"Mechanism_0x1086", encrypting(CKM_AES_CBC, 32), encInit(0x1086, 16), CKR_MECHANISM_INVALID, 0,
     -1, false, idleWithMechanism(0)},
    {"DecryptInit_with_MAC", idle, decInit(CKM_AES_MAC, 16), CKR_MECHANISM_INVALID, 0, -1, false,
     idleWithMechanism(0)},
    {"SignInit_with_cipher", idle, signInit(CKM_DES3_CBC, 24), CKR_MECHANISM_INVALID, 0, -1, false,
     idleWithMechanism(0)},
    {"Init_null_key", idle, [](SK_CONTEXT* c, uint64_t*) { return SK_EncryptInit(c, CKM_AES_ECB, nullptr, 16); },
     CKR_ARGUMENTS_BAD, 0, -1, false, nullptr},
    {"Init_null_context", idle,
     [](SK_CONTEXT*, uint64_t*) { return SK_DecryptInit(nullptr, CKM_AES_ECB, kKey, 16); },
     CKR_ARGUMENTS_BAD, 0, -1, true, nullptr},
};

class EngineErrors : public ::testing::TestWithParam<ErrorCase> {};

void PrintTo(const ErrorCase& e, std::ostream* os) { *os << e.name; }

TEST_P(EngineErrors, ReturnValueAndState) {
  const ErrorCase& e = GetParam();
  SK_CONTEXT c{};
  e.setup(&c);
  if (::testing::Test::HasFatalFailure()) return;
  SK_CONTEXT before = c;
  uint64_t length = e.capacity;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(e.call(&c, &length), e.expected);
  ::testing::internal::GetCapturedStdout();
  if (e.lengthAfter >= 0) {
    EXPECT_EQ(length, static_cast<uint64_t>(e.lengthAfter));
  }
  if (e.keepsContext) {
    EXPECT_EQ(0, std::memcmp(&before, &c, sizeof c)) << "context changed";
  }
  if (e.after) e.after(c);
}

INSTANTIATE_TEST_SUITE_P(Table, EngineErrors, ::testing::ValuesIn(kErrors),
                         [](const auto& info) { return std::string(info.param.name); });

bool allZero(const SK_CONTEXT& c) {
  const auto* p = reinterpret_cast<const unsigned char*>(&c);
  return std::all_of(p, p + sizeof c, [](unsigned char b) { return b == 0; });
}

TEST(EngineBehaviour, AesCbcPadCallByCallLengths) {
  // Encrypting 16 bytes: 16 from the Update, a full padding block from the Final.
  SK_CONTEXT c{};
  ASSERT_EQ(SK_EncryptInit(&c, CKM_AES_CBC_PAD, kKey, 32), CKR_OK);
  unsigned char cipher[32];
  uint64_t length = 32;
  ASSERT_EQ(SK_EncryptUpdate(&c, kData, 16, cipher, &length), CKR_OK);
  EXPECT_EQ(length, 16u);
  length = 16;
  ASSERT_EQ(SK_EncryptFinal(&c, cipher + 16, &length), CKR_OK);
  EXPECT_EQ(length, 16u);
  EXPECT_TRUE(allZero(c));

  // Decrypting the 32 bytes in one Update releases 16 and keeps 16 for the Final.
  ASSERT_EQ(SK_DecryptInit(&c, CKM_AES_CBC_PAD, kKey, 32), CKR_OK);
  unsigned char plain[32];
  length = 32;
  ASSERT_EQ(SK_DecryptUpdate(&c, cipher, 32, plain, &length), CKR_OK);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(c.Buse, 16u);
  length = 16;
  ASSERT_EQ(SK_DecryptFinal(&c, plain + 16, &length), CKR_OK);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(0, std::memcmp(plain, kData, 16));
  EXPECT_TRUE(allZero(c));
}

TEST(EngineBehaviour, DecryptFinalReportsBufferedCountOnStdout) {
  SK_CONTEXT c{};
  decrypting(CKM_AES_CBC_PAD, 16, 8)(&c);
  uint64_t length = 16;
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(SK_DecryptFinal(&c, gOut, &length), CKR_ENCRYPTED_DATA_LEN_RANGE);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "p->Buse: 8\nbufsize: 16\n");
}

TEST(EngineBehaviour, RefusedFinalCanBeRepeated) {
  SK_CONTEXT c{};
  encrypting(CKM_DES3_CBC_PAD, 24, 13)(&c);
  unsigned char out[8];
  uint64_t length = 7;
  ASSERT_EQ(SK_EncryptFinal(&c, out, &length), CKR_BUFFER_TOO_SMALL);
  ASSERT_EQ(length, 8u);
  ASSERT_EQ(SK_EncryptFinal(&c, out, &length), CKR_OK);
  EXPECT_EQ(length, 8u);
  EXPECT_TRUE(allZero(c));
  // And the context is reusable.
  EXPECT_EQ(SK_SignInit(&c, CKM_DES_MAC, kKey, 8), CKR_OK);
}

TEST(EngineBehaviour, SuccessfulFinalWipesEveryKind) {
  const std::function<SK_RV(SK_CONTEXT*)> finals[] = {
      [](SK_CONTEXT* c) { uint64_t l = 64; return SK_EncryptFinal(c, gOut, &l); },
      [](SK_CONTEXT* c) { uint64_t l = 64; return SK_DecryptFinal(c, gOut, &l); },
      [](SK_CONTEXT* c) { uint64_t l = 64; return SK_SignFinal(c, gOut, &l); },
  };
  struct Case {
    Prepare setup;
    int final;
  };
  const Case cases[] = {{encrypting(CKM_RC4, 7, 13), 0},       {decrypting(CKM_RC4, 7, 13), 1},
                        {encrypting(CKM_AES_ECB, 24, 32), 0},  {decrypting(CKM_DES_CBC, 16, 16), 1},
                        {encrypting(CKM_AES_CBC_PAD, 16, 7), 0}, {signing(CKM_AES_MAC, 32, 40), 2},
                        {signing(CKM_DES3_MAC_GENERAL, 24), 2}};
  for (const Case& k : cases) {
    SK_CONTEXT c{};
    k.setup(&c);
    ASSERT_EQ(finals[k.final](&c), CKR_OK);
    EXPECT_TRUE(allZero(c));
  }
}

TEST(EngineBehaviour, AesMacOfNothingIsHalfTheZeroBlockCipher) {
  const Bytes zeroKey(16, 0);
  const RunResult mac = runMac(CKM_AES_MAC, zeroKey, {}, {});
  ASSERT_EQ(mac.rv, CKR_OK);
  EXPECT_EQ(toHex(mac.output), "66e94bd4ef8a2c3b");  // AES-128(0^128, 0^128) = 66e94bd4ef8a2c3b...
}

TEST(EngineBehaviour, SignUpdateKeepsAWholeLastBlock) {
  SK_CONTEXT c{};
  signing(CKM_DES_MAC, 8, 16)(&c);
  EXPECT_EQ(c.Buse, 8u);
  EXPECT_EQ(c.MacLen, 4u);
}

TEST(EngineBehaviour, TwoKeyTripleDesIsK1K2K1) {
  Bytes k16(kKey, kKey + 16), k24 = concat(k16, Bytes(kKey, kKey + 8));
  const Bytes iv(8, 0x5a), data(kKey, kKey + 32);
  for (uint64_t mechanism : {CKM_DES3_ECB, CKM_DES_CBC, CKM_DES3_CBC_PAD}) {
    const RunResult two = runCipher(false, mechanism, k16, iv, data, onePiece(32));
    const RunResult three = runCipher(false, mechanism, k24, iv, data, onePiece(32));
    ASSERT_EQ(two.rv, CKR_OK);
    EXPECT_EQ(two.output, three.output);
  }
  const RunResult twoMac = runMac(CKM_DES3_MAC, k16, data, onePiece(32));
  const RunResult threeMac = runMac(CKM_DES_MAC, k24, data, onePiece(32));
  EXPECT_EQ(twoMac.output, threeMac.output);
}

TEST(EngineBehaviour, BlockAndStreamEntryPointsMatchUpdate) {
  const Bytes data(kKey, kKey + 32), iv(16, 7);
  const RunResult viaUpdate = runCipher(false, CKM_AES_CBC, Bytes(kKey, kKey + 16), iv, data, onePiece(32));
  SK_CONTEXT c{};
  ASSERT_EQ(SK_EncryptInit(&c, CKM_AES_CBC, kKey, 16), CKR_OK);
  std::memcpy(c.IV, iv.data(), 16);
  Bytes inPlace = data;
  SK_EncryptBlock(&c, inPlace.data(), inPlace.data());
  SK_EncryptBlock(&c, inPlace.data() + 16, inPlace.data() + 16);
  EXPECT_EQ(inPlace, viaUpdate.output);

  ASSERT_EQ(SK_DecryptInit(&c, CKM_AES_CBC, kKey, 16), CKR_OK);
  std::memcpy(c.IV, iv.data(), 16);
  SK_DecryptBlock(&c, inPlace.data(), inPlace.data());
  SK_DecryptBlock(&c, inPlace.data() + 16, inPlace.data() + 16);
  EXPECT_EQ(inPlace, data);

  // Null arguments and unsuitable contexts are ignored.
  SK_CONTEXT before = c;
  SK_EncryptBlock(nullptr, data.data(), gOut);
  SK_EncryptBlock(&c, nullptr, gOut);
  SK_EncryptBlock(&c, data.data(), nullptr);
  SK_DecryptBlock(&c, data.data(), nullptr);
  SK_EncryptStream(&c, data.data(), 16, gOut);
  EXPECT_EQ(0, std::memcmp(&before, &c, sizeof c));

  const RunResult rc4 = runCipher(false, CKM_RC4, Bytes(kKey, kKey + 5), {}, data, onePiece(32));
  ASSERT_EQ(SK_EncryptInit(&c, CKM_RC4, kKey, 5), CKR_OK);
  Bytes stream = data;
  SK_EncryptStream(&c, stream.data(), 10, stream.data());
  SK_EncryptStream(&c, stream.data() + 10, 22, stream.data() + 10);
  EXPECT_EQ(stream, rc4.output);
}

TEST(EngineBehaviour, InterleavedContextsDoNotInterfere) {
  const Bytes data(kKey, kKey + 32);
  const RunResult aes = runCipher(false, CKM_AES_CBC_PAD, Bytes(kKey, kKey + 32), Bytes(16, 1), data, onePiece(32));
  const RunResult des = runCipher(false, CKM_DES3_CBC_PAD, Bytes(kKey, kKey + 24), Bytes(8, 2), data, onePiece(32));
  SK_CONTEXT a{}, d{};
  ASSERT_EQ(SK_EncryptInit(&a, CKM_AES_CBC_PAD, kKey, 32), CKR_OK);
  ASSERT_EQ(SK_EncryptInit(&d, CKM_DES3_CBC_PAD, kKey, 24), CKR_OK);
  std::memset(a.IV, 1, 16);
  std::memset(d.IV, 2, 8);
  Bytes outA(48), outD(40);
  uint64_t la = 0, ld = 0, l;
  for (size_t i = 0; i < 32; ++i) {
    l = 16;
    ASSERT_EQ(SK_EncryptUpdate(&a, &data[i], 1, outA.data() + la, &l), CKR_OK);
    la += l;
    l = 8;
    ASSERT_EQ(SK_EncryptUpdate(&d, &data[i], 1, outD.data() + ld, &l), CKR_OK);
    ld += l;
  }
  l = 16;
  ASSERT_EQ(SK_EncryptFinal(&a, outA.data() + la, &l), CKR_OK);
  l = 8;
  ASSERT_EQ(SK_EncryptFinal(&d, outD.data() + ld, &l), CKR_OK);
  EXPECT_EQ(outA, aes.output);
  EXPECT_EQ(outD, des.output);
}

TEST(EngineKeyHelpers, ParityAndExpansion) {
  struct ParityCase {
    unsigned char in, out;
  };
  const ParityCase parity[] = {{0x00, 0x01}, {0x01, 0x01}, {0x03, 0x02}, {0xfe, 0xfe}, {0xff, 0xfe}, {0x80, 0x80}};
  for (const ParityCase& p : parity) {
    unsigned char b = p.in;
    DESPrt(&b, 1);
    EXPECT_EQ(b, p.out) << int(p.in);
  }
  struct ExpandCase {
    const char* in7;
    const char* out8;
  };
  const ExpandCase expand[] = {{"00000000000000", "0101010101010101"},
                               {"ffffffffffffff", "fefefefefefefefe"},
                               {"123456789abcde", "131a15ce89d5f2bc"}};
  for (const ExpandCase& e : expand) {
    const Bytes in = fromHex(e.in7);
    Bytes out(8);
    DESExp(in.data(), out.data());
    EXPECT_EQ(toHex(out), e.out8);
  }
  DESPrt(nullptr, 8);
  DESExp(nullptr, gOut);
}

}  // namespace
