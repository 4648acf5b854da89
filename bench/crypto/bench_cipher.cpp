// Throughput of the cipher engine on 16 KiB buffers beside Mbed TLS doing the same mode in
// the same run. Mbed TLS's public AES calls take AES-NI when the CPU has it; its table code
// is also timed through its internal block functions, which never take AES-NI.
#include <mbedtls/aes.h>
#include <mbedtls/aesni.h>
#include <mbedtls/arc4.h>
#include <mbedtls/des.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "crypto/CipherEngine.h"

namespace {

constexpr size_t kBuffer = 16 * 1024;
constexpr double kTrialSeconds = 0.3;
constexpr int kTrials = 3;

unsigned char gIn[kBuffer];
unsigned char gOut[kBuffer];
unsigned gSink = 0;

// Best MB/s over a few bounded trials.
double measure(const std::function<void()>& pass) {
  using Clock = std::chrono::steady_clock;
  pass();  // warm-up
  double best = 0;
  for (int t = 0; t < kTrials; ++t) {
    size_t passes = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    do {
      pass();
      ++passes;
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < kTrialSeconds);
    const double rate = static_cast<double>(passes * kBuffer) / elapsed / 1e6;
    if (rate > best) best = rate;
  }
  gSink += gOut[0] ^ gOut[kBuffer - 1];
  return best;
}

struct Row {
  const char* name;
  double ours;
  double mbed;
  const char* mbedNote;
};

void printRow(const Row& r) {
  // Ratio of times: ours / theirs (1.00 = as fast; above 1 = slower).
  std::printf("%-28s %10.1f %12.1f %8.2fx  %s\n", r.name, r.ours, r.mbed, r.mbed / r.ours, r.mbedNote);
}

std::function<void()> engineUpdate(SK_CONTEXT* c, bool decrypt) {
  return [c, decrypt] {
    uint64_t length = kBuffer;
    const SK_RV rv = decrypt ? SK_DecryptUpdate(c, gIn, kBuffer, gOut, &length)
                             : SK_EncryptUpdate(c, gIn, kBuffer, gOut, &length);
    if (rv != CKR_OK || length != kBuffer) std::printf("engine error 0x%llx\n", static_cast<unsigned long long>(rv));
  };
}

// CBC from Mbed TLS's table block functions (bypasses its AES-NI dispatch).
void mbedTableCbc(mbedtls_aes_context* a, bool decrypt, unsigned char iv[16]) {
  for (size_t at = 0; at < kBuffer; at += 16) {
    if (!decrypt) {
      unsigned char block[16];
      for (int i = 0; i < 16; ++i) block[i] = gIn[at + i] ^ iv[i];
      (void)mbedtls_internal_aes_encrypt(a, block, gOut + at);
      std::memcpy(iv, gOut + at, 16);
    } else {
      unsigned char plain[16];
      (void)mbedtls_internal_aes_decrypt(a, gIn + at, plain);
      for (int i = 0; i < 16; ++i) gOut[at + i] = plain[i] ^ iv[i];
      std::memcpy(iv, gIn + at, 16);
    }
  }
}

}  // namespace

int main() {
  std::mt19937 rng(1);
  for (auto& b : gIn) b = static_cast<unsigned char>(rng());
  unsigned char key[32];
  for (auto& b : key) b = static_cast<unsigned char>(rng());

#if defined(MBEDTLS_AESNI_C) && defined(MBEDTLS_HAVE_X86_64)
  const bool aesni = mbedtls_aesni_has_support(MBEDTLS_AESNI_AES) != 0;
  std::printf("Mbed TLS AES-NI: %s on this machine\n", aesni ? "available and used by mbedtls_aes_crypt_cbc"
                                                            : "built in but not supported by this CPU");
#else
  const bool aesni = false;
  std::printf("Mbed TLS AES-NI: not built into this Mbed TLS\n");
#endif
  std::printf("buffer %zu bytes, best of %d trials of %.1f s; ratio = our time / Mbed TLS time\n\n", kBuffer,
              kTrials, kTrialSeconds);
  std::printf("%-28s %10s %12s %9s  %s\n", "case", "ours MB/s", "MbedTLS MB/s", "ratio", "Mbed TLS path");

  std::vector<Row> rows;
  double aesTableRatio[2] = {0, 0};
  for (int decrypt = 0; decrypt < 2; ++decrypt) {
    SK_CONTEXT c{};
    decrypt ? SK_DecryptInit(&c, CKM_AES_CBC, key, 32) : SK_EncryptInit(&c, CKM_AES_CBC, key, 32);
    const double ours = measure(engineUpdate(&c, decrypt));

    mbedtls_aes_context a;
    mbedtls_aes_init(&a);
    decrypt ? mbedtls_aes_setkey_dec(&a, key, 256) : mbedtls_aes_setkey_enc(&a, key, 256);
    unsigned char chain[16] = {0};
    const int mode = decrypt ? MBEDTLS_AES_DECRYPT : MBEDTLS_AES_ENCRYPT;
    const double library = measure([&] { mbedtls_aes_crypt_cbc(&a, mode, kBuffer, chain, gIn, gOut); });
    const double tables = measure([&] { mbedTableCbc(&a, decrypt, chain); });

    // The same bytes from all three, from the same starting vector.
    unsigned char v1[16] = {0}, v2[16] = {0};
    std::vector<unsigned char> viaLibrary(kBuffer), viaTables(kBuffer), viaEngine(kBuffer);
    mbedtls_aes_crypt_cbc(&a, mode, kBuffer, v1, gIn, viaLibrary.data());
    mbedTableCbc(&a, decrypt, v2);
    std::memcpy(viaTables.data(), gOut, kBuffer);
    SK_CONTEXT check{};
    decrypt ? SK_DecryptInit(&check, CKM_AES_CBC, key, 32) : SK_EncryptInit(&check, CKM_AES_CBC, key, 32);
    uint64_t length = kBuffer;
    decrypt ? SK_DecryptUpdate(&check, gIn, kBuffer, viaEngine.data(), &length)
            : SK_EncryptUpdate(&check, gIn, kBuffer, viaEngine.data(), &length);
    if (viaLibrary != viaTables || viaLibrary != viaEngine) std::printf("MISMATCH in AES-256-CBC results\n");
    mbedtls_aes_free(&a);

    const char* name = decrypt ? "AES-256-CBC decrypt" : "AES-256-CBC encrypt";
    rows.push_back({name, ours, library, aesni ? "mbedtls_aes_crypt_cbc (AES-NI)" : "mbedtls_aes_crypt_cbc (tables)"});
    rows.push_back({decrypt ? "AES-256-CBC decrypt (tables)" : "AES-256-CBC encrypt (tables)", ours, tables,
                    "internal table block functions"});
    aesTableRatio[decrypt] = tables / ours;
  }

  for (int decrypt = 0; decrypt < 2; ++decrypt) {
    SK_CONTEXT c{};
    decrypt ? SK_DecryptInit(&c, CKM_DES3_CBC, key, 24) : SK_EncryptInit(&c, CKM_DES3_CBC, key, 24);
    const double ours = measure(engineUpdate(&c, decrypt));
    mbedtls_des3_context d;
    mbedtls_des3_init(&d);
    decrypt ? mbedtls_des3_set3key_dec(&d, key) : mbedtls_des3_set3key_enc(&d, key);
    unsigned char chain[8] = {0};
    const int mode = decrypt ? MBEDTLS_DES_DECRYPT : MBEDTLS_DES_ENCRYPT;
    const double library = measure([&] { mbedtls_des3_crypt_cbc(&d, mode, kBuffer, chain, gIn, gOut); });
    mbedtls_des3_free(&d);
    rows.push_back({decrypt ? "3DES-CBC decrypt" : "3DES-CBC encrypt", ours, library, "mbedtls_des3_crypt_cbc"});
  }

  {
    SK_CONTEXT c{};
    SK_EncryptInit(&c, CKM_RC4, key, 16);
    const double ours = measure(engineUpdate(&c, false));
    mbedtls_arc4_context r;
    mbedtls_arc4_init(&r);
    mbedtls_arc4_setup(&r, key, 16);
    const double library = measure([&] { mbedtls_arc4_crypt(&r, kBuffer, gIn, gOut); });
    mbedtls_arc4_free(&r);
    rows.push_back({"RC4", ours, library, "mbedtls_arc4_crypt"});
  }

  for (const Row& r : rows) printRow(r);
  const bool met = aesTableRatio[0] <= 1.5 && aesTableRatio[1] <= 1.5;
  std::printf("\nGoal (our AES time <= 1.5x Mbed TLS table-code time): encrypt %.2fx, decrypt %.2fx: %s\n",
              aesTableRatio[0], aesTableRatio[1], met ? "met" : "NOT met");
  if (aesni)
    std::printf("Against Mbed TLS with AES-NI (hardware instructions) our table code is slower, as shown above.\n");
  std::printf("(checksum %u)\n", gSink);
  return 0;
}
