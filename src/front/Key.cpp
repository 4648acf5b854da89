// Credentials: certificate copy and key decryption.
#include "front/Key.h"

#include <cstring>

#include "crypto/AES.h"
#include "crypto/Wipe.h"
#include "diag/Console.h"
#include "front/KeyData.h"
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
  if (!getSecureRandom(reinterpret_cast<unsigned char*>(text), length)) secureZero(text, length);
  freeMem(text);
}

}  // namespace

char* getCert() {
  char* cert = newMem(kNoxCertPem);
  if (cert == nullptr) HALVORANT_MEMORY_FAIL();
  return cert;
}

char* getKey() {
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
  if (key != nullptr) {
    secureZero(key, kHexLength / 2);
    freeMem(key);
  }
  destroyText(hex, kHexLength);
  return pem;
}
