// The service's encrypted-text forms: AES-256-CBC with the marker and PKCS #7 padding over
// the cipher engine, and the AES-128 64-byte-chunk form over the small block code.
#include "crypto/AES.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "crypto/Aes128.h"
#include "crypto/CipherEngine.h"
#include "diag/Console.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

constexpr const char* kModule = "AES";
constexpr char kMarker[] = "HalvorantAESCBC";
constexpr uint64_t kMarkerLength = sizeof kMarker - 1;  // 15

void engineWarning(SK_RV rv, int line) {
  char text[512];
  snprintf(text, sizeof text, "Error code %d = 0x%X at %d line in %s", static_cast<int>(rv),
           static_cast<unsigned>(rv), line, kModule);
  printfColorWarningLine("", text);
}

// Plaintext is overwritten with random bytes, then zeros, before release.
void scrubAndFree(void* memory, uint64_t size) {
  if (!memory) return;
  unsigned char* p = static_cast<unsigned char*>(memory);
  for (uint64_t done = 0; done < size;) {
    const uint64_t left = size - done;
    const int piece = left > INT_MAX ? INT_MAX : static_cast<int>(left);
    if (!getSecureRandom(p + done, piece)) break;
    done += static_cast<uint64_t>(piece);
  }
  freeWiped(memory, size);
}

bool argumentsPresent(const void* text, const void* key, const void* iv, int line) {
  if (!text) printfNullParameter("inputText", kModule, line);
  else if (!key) printfNullParameter("inputKey", kModule, line);
  else if (!iv) printfNullParameter("inputIV", kModule, line);
  return text && key && iv;
}

}  // namespace

unsigned char* AES256_Encrypt_CBC(const char* text, const unsigned char* key, const unsigned char* iv,
                                  uint64_t* outLength) {
  if (!argumentsPresent(text, key, iv, __LINE__)) return nullptr;
  const uint64_t textLength = strlen(text);
  const uint64_t plainLength = textLength + kMarkerLength + 1;  // marker, text, NUL
  unsigned char* plain = static_cast<unsigned char*>(newMemSize(plainLength));
  if (!plain) {
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  std::memcpy(plain, kMarker, kMarkerLength);
  std::memcpy(plain + kMarkerLength, text, textLength);

  const uint64_t cipherLength = (plainLength / 16 + 1) * 16;
  unsigned char* cipher = static_cast<unsigned char*>(newMemSize(cipherLength));
  if (!cipher) {
    scrubAndFree(plain, plainLength);
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }

  SK_CONTEXT context;
  std::memset(&context, 0, sizeof context);
  uint64_t first = cipherLength;
  uint64_t second = 0;
  int line = __LINE__;
  SK_RV rv = SK_EncryptInit(&context, CKM_AES_CBC_PAD, key, 32);
  if (rv == CKR_OK) {
    std::memcpy(context.IV, iv, 16);
    line = __LINE__;
    rv = SK_EncryptUpdate(&context, plain, plainLength, cipher, &first);
  }
  if (rv == CKR_OK) {
    second = cipherLength - first;
    line = __LINE__;
    rv = SK_EncryptFinal(&context, cipher + first, &second);
  }
  wipeMemory(&context, sizeof context);
  scrubAndFree(plain, plainLength);
  if (rv != CKR_OK) {
    // An empty buffer must not pass for a cipher text.
    engineWarning(rv, line);
    freeMem(cipher);
    return nullptr;
  }
  if (outLength) *outLength = first + second;
  return cipher;
}

char* AES256_Decrypt_CBC(const unsigned char* data, uint64_t length, const unsigned char* key,
                         const unsigned char* iv) {
  if (!argumentsPresent(data, key, iv, __LINE__)) return nullptr;
  const uint64_t capacity = length + 1;  // the extra zero byte terminates the text
  unsigned char* plain = capacity ? static_cast<unsigned char*>(newMemSize(capacity)) : nullptr;
  if (!plain) {
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }

  SK_CONTEXT context;
  std::memset(&context, 0, sizeof context);
  uint64_t first = capacity;
  uint64_t second = 0;
  int line = __LINE__;
  SK_RV rv = SK_DecryptInit(&context, CKM_AES_CBC_PAD, key, 32);
  if (rv == CKR_OK) {
    std::memcpy(context.IV, iv, 16);
    line = __LINE__;
    rv = SK_DecryptUpdate(&context, data, length, plain, &first);
  }
  if (rv == CKR_OK) {
    second = capacity - first;
    line = __LINE__;
    rv = SK_DecryptFinal(&context, plain + first, &second);
  }
  wipeMemory(&context, sizeof context);
  if (rv != CKR_OK) {
    engineWarning(rv, line);
    scrubAndFree(plain, capacity);
    return nullptr;
  }
  // The text ends where the plaintext does: the padding the final step wrote behind it goes.
  const uint64_t total = first + second;
  wipeMemory(plain + total, capacity - total);

  if (total >= kMarkerLength && std::memcmp(plain, kMarker, kMarkerLength) == 0) {
    printfColorLine("AES: ", "Remove prefix");
    char* text = newMem(reinterpret_cast<const char*>(plain) + kMarkerLength);
    if (!text) {
      printfMemoryFail(kModule, __LINE__);
      return reinterpret_cast<char*>(plain);
    }
    scrubAndFree(plain, capacity);
    return text;
  }
  return reinterpret_cast<char*>(plain);
}

unsigned char* AES128_Encrypt_CBC(const char* text, const unsigned char* key, const unsigned char* iv,
                                  uint64_t* outLength) {
  if (!argumentsPresent(text, key, iv, __LINE__)) return nullptr;
  const uint64_t textLength = strlen(text);
  const uint64_t chunks = (textLength + 1 + 63) / 64;
  unsigned char* cipher = static_cast<unsigned char*>(newMemSize(64 * chunks));
  if (!cipher) {
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  std::memcpy(cipher, text, textLength);  // zero-filled: the NUL and the zero tail are there
  AES128_STATE state;
  std::memset(&state, 0, sizeof state);
  // Every chunk on its own: key expanded again and chaining restarted at the vector.
  for (uint64_t i = 0; i < chunks; ++i)
    AES128_CBC_encrypt_buffer(&state, cipher + 64 * i, cipher + 64 * i, 64, key, iv);
  wipeMemory(&state, sizeof state);
  if (outLength) *outLength = 64 * chunks;
  return cipher;
}

unsigned char* AES128_Decrypt_CBC(const unsigned char* data, uint64_t length, const unsigned char* key,
                                  const unsigned char* iv) {
  if (!argumentsPresent(data, key, iv, __LINE__)) return nullptr;
  const uint64_t chunks = length / 64 + (length % 64 ? 1 : 0);
  // A shorter last chunk is taken as extended with zero bytes (the buffer is zero-filled).
  unsigned char* plain = static_cast<unsigned char*>(newMemSize(64 * chunks + 1));
  if (!plain) {
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  std::memcpy(plain, data, length);
  AES128_STATE state;
  std::memset(&state, 0, sizeof state);
  for (uint64_t i = 0; i < chunks; ++i) {
    unsigned char* chunk = plain + 64 * i;
    AES128_CBC_decrypt_buffer(&state, chunk, chunk, 16, key, iv);
    AES128_CBC_decrypt_buffer(&state, chunk + 16, chunk + 16, 48, nullptr, nullptr);
  }
  wipeMemory(&state, sizeof state);
  plain[length] = 0;
  return plain;
}
