// NoxCryptAdapter: digests, the service's AES-256 text form under a page-given key, and
// a timed sleep for demonstrating main-thread calls.
//
// Functions (parameter names match ignoring case):
//   "Digest"   Algorithm SHA1 | SHA256 | SHA512, Data text -> upper-case hex digest
//   "Encrypt"  Key (64 hex digits), IV (32 hex digits, optional: zeros), Data text -> hex
//   "Decrypt"  Key, IV as above, Data hex -> text
//   "Sleep"    Seconds 0..15 -> "slept N" after that many seconds; main-thread calls only
//              (it shows the heartbeat protocol; elsewhere it would hold up other pages)
// Failures answer {"error":{"code":"BAD_INPUT"|"TOKEN_ERROR","message":"..."}}.
// The adapter links only the dependency-free cipher engine and Mbed TLS: no console of
// its own (the service prints for it) and nothing of the service's helpers.
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>
#include <mbedtls/sha512.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <pthread.h>
#else
#include <sys/syscall.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "AdapterKit.h"
#include "crypto/CipherEngine.h"
#include "platform/Wipe.h"

using adapterkit::answer;
using adapterkit::error;
using adapterkit::ErrorCode;
using adapterkit::param;
using adapterkit::sameName;

namespace {

constexpr const char* kVersion = "1.0.0.1";
constexpr long kMaxSleepSeconds = 15;
constexpr size_t kMaxCipherBytes = (adapterkit::kAnswerSize - 1) / 2;
// The service's AES-256 text form: marker + text + NUL under CBC with PKCS #7 padding.
constexpr char kMarker[] = "HalvorantAESCBC";
constexpr size_t kMarkerLength = sizeof kMarker - 1;

const char* digest(const HalvorantJsonMap* map) {
  const char* algorithm = param(map, "Algorithm");
  const char* data = param(map, "Data");
  if (data == nullptr) return error(ErrorCode::BadInput, "missing Data");
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  const size_t length = strlen(data);
  unsigned char out[64];
  size_t size = 0;
  int rc = -1;
  if (sameName(algorithm, "SHA1")) rc = mbedtls_sha1_ret(in, length, out), size = 20;
  else if (sameName(algorithm, "SHA256")) rc = mbedtls_sha256_ret(in, length, out, 0), size = 32;
  else if (sameName(algorithm, "SHA512")) rc = mbedtls_sha512_ret(in, length, out, 0), size = 64;
  else return error(ErrorCode::BadInput, "Algorithm must be SHA1, SHA256 or SHA512");
  if (rc != 0) return error(ErrorCode::TokenError, "digest failed");
  return answer(adapterkit::hexText(out, size, true).c_str());
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

// One whole CBC_PAD pass over in; false on any engine refusal. The context is wiped.
bool cbcPad(bool decrypt, const unsigned char key[32], const unsigned char iv[16], const unsigned char* in,
            size_t length, std::vector<unsigned char>* out) {
  SK_CONTEXT context;
  memset(&context, 0, sizeof context);
  out->assign(length + 16, 0);
  uint64_t first = out->size();
  uint64_t second = 0;
  SK_RV rv = decrypt ? SK_DecryptInit(&context, CKM_AES_CBC_PAD, key, 32)
                     : SK_EncryptInit(&context, CKM_AES_CBC_PAD, key, 32);
  if (rv == CKR_OK) {
    memcpy(context.IV, iv, 16);
    rv = decrypt ? SK_DecryptUpdate(&context, in, length, out->data(), &first)
                 : SK_EncryptUpdate(&context, in, length, out->data(), &first);
  }
  if (rv == CKR_OK) {
    second = out->size() - first;
    rv = decrypt ? SK_DecryptFinal(&context, out->data() + first, &second)
                 : SK_EncryptFinal(&context, out->data() + first, &second);
  }
  wipeMemory(&context, sizeof context);
  if (rv != CKR_OK) {
    wipeMemory(out->data(), out->size());
    return false;
  }
  out->resize(first + second);
  return true;
}

const char* encrypt(const HalvorantJsonMap* map) {
  unsigned char key[32];
  unsigned char iv[16];
  if (!readKey(map, key, iv)) return error(ErrorCode::BadInput, "Key must be 64 and IV 32 hex digits");
  const char* data = param(map, "Data");
  if (data == nullptr) return error(ErrorCode::BadInput, "missing Data");
  const size_t textLength = strlen(data);
  if (((textLength + kMarkerLength + 1) / 16 + 1) * 16 > kMaxCipherBytes) {
    wipeMemory(key, sizeof key);
    return error(ErrorCode::BadInput, "Data too long");
  }
  std::vector<unsigned char> plain(kMarkerLength + textLength + 1, 0);
  memcpy(plain.data(), kMarker, kMarkerLength);
  memcpy(plain.data() + kMarkerLength, data, textLength);
  std::vector<unsigned char> cipher;
  const bool ok = cbcPad(false, key, iv, plain.data(), plain.size(), &cipher);
  wipeMemory(key, sizeof key);
  wipeMemory(plain.data(), plain.size());
  if (!ok) return error(ErrorCode::TokenError, "encryption failed");
  return answer(adapterkit::hexText(cipher.data(), cipher.size(), true).c_str());
}

const char* decrypt(const HalvorantJsonMap* map) {
  unsigned char key[32];
  unsigned char iv[16];
  if (!readKey(map, key, iv)) return error(ErrorCode::BadInput, "Key must be 64 and IV 32 hex digits");
  static thread_local unsigned char cipher[kMaxCipherBytes];
  size_t length = 0;
  if (!adapterkit::hexToBytes(param(map, "Data"), cipher, sizeof cipher, &length) || length == 0) {
    wipeMemory(key, sizeof key);
    return error(ErrorCode::BadInput, "Data must be hex cipher text");
  }
  std::vector<unsigned char> plain;
  const bool ok = cbcPad(true, key, iv, cipher, length, &plain);
  wipeMemory(key, sizeof key);
  if (!ok) return error(ErrorCode::BadInput, "decryption failed (wrong key or damaged text)");
  plain.push_back(0);  // the text ends at its NUL, as the service's form reads it
  const char* text = reinterpret_cast<const char*>(plain.data());
  if (plain.size() > kMarkerLength && memcmp(text, kMarker, kMarkerLength) == 0) text += kMarkerLength;
  const char* out = answer(text);
  wipeMemory(plain.data(), plain.size());
  return out;
}

// The service runs flagged calls on the process's main thread and nothing else there.
bool onMainThread() {
#if defined(__APPLE__)
  return pthread_main_np() != 0;
#else
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
#endif
}

const char* sleepFor(const HalvorantJsonMap* map) {
  if (!onMainThread()) return error(ErrorCode::BadInput, "Sleep needs a main-thread call");
  const char* text = param(map, "Seconds");
  char* end = nullptr;
  long seconds = text != nullptr ? strtol(text, &end, 10) : -1;
  if (text == nullptr || end == text || *end != '\0' || seconds < 0 || seconds > kMaxSleepSeconds)
    return error(ErrorCode::BadInput, "Seconds must be 0 to 15");
  for (unsigned left = static_cast<unsigned>(seconds); left > 0;) left = sleep(left);
  char out[32];
  snprintf(out, sizeof out, "slept %ld", seconds);
  return answer(out);
}

const char* call(const HalvorantJsonMap* map, const char* functionName) {
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) return answer("0");
  if (sameName(functionName, "Digest")) return digest(map);
  if (sameName(functionName, "Encrypt")) return encrypt(map);
  if (sameName(functionName, "Decrypt")) return decrypt(map);
  if (sameName(functionName, "Sleep")) return sleepFor(map);
  return error(ErrorCode::BadInput, "unknown function");
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  return adapterkit::guarded([map, functionName] { return call(map, functionName); });
}
