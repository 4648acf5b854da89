// Cipher engine: decryption of arbitrary data with the mechanism, key and chunking taken
// from the input, then an encrypt -> decrypt round trip of the same data.
//
// Input: mechanism byte, key length byte, key, flags byte, then pieces (one length byte,
// that many data bytes). Flags bit 0: offer every Update one byte less than it needs
// first (the refusal must change nothing). Output buffers are exactly as long as the
// length query says, so any write beyond it is caught.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "crypto/CipherEngine.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr uint64_t kMechanisms[] = {
    CKM_RC4,      CKM_DES_ECB,  CKM_DES_CBC,     CKM_DES_MAC,     CKM_DES_MAC_GENERAL, CKM_DES_CBC_PAD,
    CKM_DES3_ECB, CKM_DES3_CBC, CKM_DES3_MAC,    CKM_DES3_MAC_GENERAL, CKM_DES3_CBC_PAD, CKM_AES_ECB,
    CKM_AES_CBC,  CKM_AES_MAC,  CKM_AES_MAC_GENERAL, CKM_AES_CBC_PAD, 0x1234,
};

struct Plan {
  uint64_t mechanism;
  Bytes key;
  Bytes iv;
  bool shortBuffers;
  std::vector<Bytes> pieces;
};

Plan readPlan(fuzz::Input& input) {
  Plan plan;
  plan.mechanism = kMechanisms[input.byte() % (sizeof kMechanisms / sizeof kMechanisms[0])];
  const size_t keyLength = input.byte() % 41;
  const std::string key = input.bytes(keyLength);
  plan.key.assign(key.begin(), key.end());
  plan.iv.assign(16, 0);
  for (size_t i = 0; i < plan.key.size() && i < 16; ++i) plan.iv[i] = static_cast<unsigned char>(plan.key[i] ^ 0xa5);
  plan.shortBuffers = (input.byte() & 1) != 0;
  while (!input.empty()) {
    const std::string piece = input.bytes(input.byte());
    plan.pieces.emplace_back(piece.begin(), piece.end());
  }
  return plan;
}

// An exactly sized heap buffer (a zero-length one too), so overruns are caught.
std::unique_ptr<unsigned char[]> buffer(uint64_t length) { return std::unique_ptr<unsigned char[]>(new unsigned char[length]); }

// One Update after a length query; appends the output. The engine's return value.
SK_RV update(SK_CONTEXT* c, const Bytes& piece, bool shortFirst, Bytes* out) {
  uint64_t needed = 0;
  SK_RV rv = SK_DecryptUpdate(c, piece.data(), piece.size(), nullptr, &needed);
  if (rv != CKR_OK) return rv;
  FUZZ_CHECK(needed <= piece.size() + 16);
  if (shortFirst && needed > 0) {
    SK_CONTEXT before = *c;
    uint64_t length = needed - 1;
    auto small = buffer(length);
    FUZZ_CHECK(SK_DecryptUpdate(c, piece.data(), piece.size(), small.get(), &length) == CKR_BUFFER_TOO_SMALL);
    FUZZ_CHECK(length == needed);
    FUZZ_CHECK(std::memcmp(&before, c, sizeof before) == 0);
  }
  auto space = buffer(needed);
  uint64_t length = needed;
  rv = SK_DecryptUpdate(c, piece.data(), piece.size(), space.get(), &length);
  FUZZ_CHECK(rv == CKR_OK);  // the query said it fits
  FUZZ_CHECK(length == needed);
  out->insert(out->end(), space.get(), space.get() + length);
  return CKR_OK;
}

// A whole decryption; CKR_OK with the plain text in out, or the first refusal.
SK_RV decrypt(const Plan& plan, const std::vector<Bytes>& pieces, Bytes* out) {
  SK_CONTEXT c;
  std::memset(&c, 0, sizeof c);
  SK_RV rv = SK_DecryptInit(&c, plan.mechanism, plan.key.data(), plan.key.size());
  if (rv != CKR_OK) {
    FUZZ_CHECK(c.BufSize == 0);
    return rv;
  }
  std::memcpy(c.IV, plan.iv.data(), sizeof c.IV);
  for (const Bytes& piece : pieces) {
    rv = update(&c, piece, plan.shortBuffers, out);
    if (rv != CKR_OK) return rv;
  }
  uint64_t needed = 0;
  rv = SK_DecryptFinal(&c, nullptr, &needed);
  if (rv != CKR_OK) {
    FUZZ_CHECK(rv == CKR_DATA_LEN_RANGE);  // an unpadded mode with a partial block held
    return rv;
  }
  FUZZ_CHECK(needed <= 16);
  auto space = buffer(needed);
  uint64_t length = needed;
  SK_CONTEXT before = c;
  rv = SK_DecryptFinal(&c, space.get(), &length);
  if (rv != CKR_OK) {
    // A refused Final leaves the operation as it was: the retry gives the same answer.
    FUZZ_CHECK(std::memcmp(&before, &c, sizeof before) == 0);
    length = needed;
    FUZZ_CHECK(SK_DecryptFinal(&c, space.get(), &length) == rv);
    return rv;
  }
  FUZZ_CHECK(length <= needed);
  FUZZ_CHECK(c.BufSize == 0);  // a finished operation is wiped
  out->insert(out->end(), space.get(), space.get() + length);
  return CKR_OK;
}

// Encrypts everything in one Update; false when the engine refuses (MAC, bad key, a
// length the mode cannot take).
bool encrypt(const Plan& plan, const Bytes& plain, Bytes* out) {
  SK_CONTEXT c;
  std::memset(&c, 0, sizeof c);
  if (SK_EncryptInit(&c, plan.mechanism, plan.key.data(), plan.key.size()) != CKR_OK) return false;
  std::memcpy(c.IV, plan.iv.data(), sizeof c.IV);
  uint64_t length = 0;
  FUZZ_CHECK(SK_EncryptUpdate(&c, plain.data(), plain.size(), nullptr, &length) == CKR_OK);
  auto space = buffer(length);
  FUZZ_CHECK(SK_EncryptUpdate(&c, plain.data(), plain.size(), space.get(), &length) == CKR_OK);
  out->assign(space.get(), space.get() + length);
  uint64_t finalLength = 0;
  if (SK_EncryptFinal(&c, nullptr, &finalLength) != CKR_OK) return false;
  auto last = buffer(finalLength);
  if (SK_EncryptFinal(&c, last.get(), &finalLength) != CKR_OK) return false;
  out->insert(out->end(), last.get(), last.get() + finalLength);
  return true;
}

// The cipher text cut like the plan's pieces (the last piece takes what is left).
std::vector<Bytes> cutLike(const std::vector<Bytes>& pieces, const Bytes& text) {
  std::vector<Bytes> out;
  size_t at = 0;
  for (size_t i = 0; i < pieces.size() && at < text.size(); ++i) {
    size_t n = i + 1 == pieces.size() ? text.size() - at : std::min(pieces[i].size(), text.size() - at);
    out.emplace_back(text.begin() + static_cast<long>(at), text.begin() + static_cast<long>(at + n));
    at += n;
  }
  if (at < text.size()) out.emplace_back(text.begin() + static_cast<long>(at), text.end());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::quietConsole();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input input(data, size);
  const Plan plan = readPlan(input);

  Bytes ignored;
  (void)decrypt(plan, plan.pieces, &ignored);

  Bytes plain;
  for (const Bytes& piece : plan.pieces) plain.insert(plain.end(), piece.begin(), piece.end());
  Bytes cipherText;
  if (!encrypt(plan, plain, &cipherText)) return 0;
  Bytes back;
  FUZZ_CHECK(decrypt(plan, cutLike(plan.pieces, cipherText), &back) == CKR_OK);
  FUZZ_CHECK(back == plain);
  return 0;
}
