// Credentials: certificate copy and key decryption.
#include "front/Key.h"

#include <cstring>

#include "crypto/AES.h"
#include "diag/Console.h"
#include "front/KeyData.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr int kHexLength = sizeof kNoxKeyShareA;

// The key-decryption key as hexadecimal text, joined from its two shares.
char* keyText() {
  char* hex = static_cast<char*>(newMemSize(kHexLength + 1));
  if (hex == nullptr) return nullptr;
  for (int i = 0; i < kHexLength; ++i) hex[i] = static_cast<char>(kNoxKeyShareA[i] ^ kNoxKeyShareB[i]);
  return hex;
}

// Random bytes over the text, zeros when the random device fails; then release.
void destroyText(char* text, int length) {
  if (text == nullptr) return;
  if (!getSecureRandom(reinterpret_cast<unsigned char*>(text), length)) wipeMemory(text, length);
  freeMem(text);
}

// Stack that the decryption chain below may have used: hex decoding, the key schedule,
// the block steps and the console lines between them (fixed 4 KiB buffers), with room.
constexpr size_t kDecryptStack = 64 * 1024;

// Not inlined: its frame and its callees' lie below getKey's, where the stack wipe reaches.
__attribute__((noinline)) char* decryptKey() {
  char* pem = nullptr;
  char* hex = keyText();
  unsigned char* key = nullptr;
  if (hex == nullptr) {
    HALVORANT_MEMORY_FAIL();
  } else if ((key = HexDecode(hex)) == nullptr) {
    HALVORANT_MEMORY_FAIL();
  } else if ((pem = AES256_Decrypt_CBC(kNoxKeyCipher, kNoxKeyCipherLength, key, kNoxKeyIv)) == nullptr) {
    HALVORANT_MEMORY_FAIL();
  }
  freeWiped(key, kHexLength / 2);
  destroyText(hex, kHexLength);
  return pem;
}

}  // namespace

char* getCert() {
  char* cert = newMem(kNoxCertPem);
  if (cert == nullptr) HALVORANT_MEMORY_FAIL();
  return cert;
}

char* getKey() {
  char* pem = decryptKey();
  // The wipes above reach the heap copies; the compiled code may also have left key bytes,
  // round keys or plaintext in locals and register spills of the chain. Those go here.
  wipeStackBelow(kDecryptStack);
  return pem;
}
