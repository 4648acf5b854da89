// NoxCryptAdapter: digests, the service's AES-256 text form under a page-given key, and
// a timed sleep for demonstrating main-thread calls.
//
// Functions (parameter names match ignoring case):
//   "Digest"   Algorithm SHA1 | SHA256 | SHA512, Data text -> upper-case hex digest
//   "Encrypt"  Key (64 hex digits), IV (32 hex digits, optional: zeros), Data text -> hex
//   "Decrypt"  Key, IV as above, Data hex -> text
//   "Sleep"    Seconds 0..60 -> "slept N" after that many seconds
// Failures answer "error: <reason>".
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "AdapterKit.h"
#include "crypto/AES.h"
#include "crypto/Digest.h"
#include "util/Tool.h"

using adapterkit::answer;
using adapterkit::error;
using adapterkit::param;
using adapterkit::sameName;

namespace {

constexpr const char* kVersion = "1.0.0.1";
constexpr long kMaxSleepSeconds = 60;
constexpr size_t kMaxCipherBytes = (adapterkit::kAnswerSize - 1) / 2;

// Answers a text the crypto code allocated, then releases it.
const char* answerOwned(char* text, const char* failure) {
  if (text == nullptr) return error(failure);
  const char* out = answer(text);
  freeMem(text);
  return out;
}

const char* digest(const HalvorantJsonMap* map) {
  const char* algorithm = param(map, "Algorithm");
  const char* data = param(map, "Data");
  if (data == nullptr) return error("missing Data");
  if (sameName(algorithm, "SHA1")) return answerOwned(SHA1(data), "digest failed");
  if (sameName(algorithm, "SHA256")) return answerOwned(SHA256(data), "digest failed");
  if (sameName(algorithm, "SHA512")) return answerOwned(SHA512(data), "digest failed");
  return error("Algorithm must be SHA1, SHA256 or SHA512");
}

bool readKey(const HalvorantJsonMap* map, unsigned char key[32], unsigned char iv[16]) {
  size_t length = 0;
  const char* keyHex = param(map, "Key");
  if (!adapterkit::hexToBytes(keyHex, key, 32, &length) || length != 32) return false;
  memset(iv, 0, 16);
  const char* ivHex = param(map, "IV");
  if (ivHex == nullptr || ivHex[0] == '\0') return true;
  return adapterkit::hexToBytes(ivHex, iv, 16, &length) && length == 16;
}

const char* encrypt(const HalvorantJsonMap* map) {
  unsigned char key[32];
  unsigned char iv[16];
  if (!readKey(map, key, iv)) return error("Key must be 64 and IV 32 hex digits");
  const char* data = param(map, "Data");
  if (data == nullptr) return error("missing Data");
  uint64_t length = 0;
  unsigned char* cipher = AES256_Encrypt_CBC(data, key, iv, &length);
  memset(key, 0, sizeof key);
  if (cipher == nullptr) return error("encryption failed");
  if (length > kMaxCipherBytes) {
    freeMem(cipher);
    return error("Data too long");
  }
  const char* out = answerOwned(StringToHex(cipher, static_cast<int>(length)), "encryption failed");
  freeMem(cipher);
  return out;
}

const char* decrypt(const HalvorantJsonMap* map) {
  unsigned char key[32];
  unsigned char iv[16];
  if (!readKey(map, key, iv)) return error("Key must be 64 and IV 32 hex digits");
  static thread_local unsigned char cipher[kMaxCipherBytes];
  size_t length = 0;
  if (!adapterkit::hexToBytes(param(map, "Data"), cipher, sizeof cipher, &length) || length == 0)
    return error("Data must be hex cipher text");
  char* text = AES256_Decrypt_CBC(cipher, length, key, iv);
  memset(key, 0, sizeof key);
  return answerOwned(text, "decryption failed");
}

const char* sleepFor(const HalvorantJsonMap* map) {
  const char* text = param(map, "Seconds");
  char* end = nullptr;
  long seconds = text != nullptr ? strtol(text, &end, 10) : -1;
  if (text == nullptr || end == text || *end != '\0' || seconds < 0 || seconds > kMaxSleepSeconds)
    return error("Seconds must be 0 to 60");
  for (unsigned left = static_cast<unsigned>(seconds); left > 0;) left = sleep(left);
  char out[32];
  snprintf(out, sizeof out, "slept %ld", seconds);
  return answer(out);
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) return answer("0");
  if (sameName(functionName, "Digest")) return digest(map);
  if (sameName(functionName, "Encrypt")) return encrypt(map);
  if (sameName(functionName, "Decrypt")) return decrypt(map);
  if (sameName(functionName, "Sleep")) return sleepFor(map);
  return error("unknown function");
}
