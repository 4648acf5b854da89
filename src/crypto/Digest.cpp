// Text digests: GnuTLS one-shot hashing (the TLS library the service loads anyway, so
// no other crypto library is mapped for five digests), upper-case hexadecimal text.
#include "crypto/Digest.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstring>

#include "diag/Console.h"
#include "util/Tool.h"

namespace {

constexpr const char* kModule = "Digest";

enum class Kind { Sha1, Sha224, Sha256, Sha384, Sha512 };

char* digestText(const char* text, Kind kind, int line) {
  if (!text) {
    printfNullParameter("text", kModule, line);
    return nullptr;
  }
  const auto* in = reinterpret_cast<const unsigned char*>(text);
  const size_t length = strlen(text);
  unsigned char digest[64];
  gnutls_digest_algorithm_t algorithm = GNUTLS_DIG_SHA256;
  switch (kind) {
    case Kind::Sha1: algorithm = GNUTLS_DIG_SHA1; break;
    case Kind::Sha224: algorithm = GNUTLS_DIG_SHA224; break;
    case Kind::Sha256: algorithm = GNUTLS_DIG_SHA256; break;
    case Kind::Sha384: algorithm = GNUTLS_DIG_SHA384; break;
    case Kind::Sha512: algorithm = GNUTLS_DIG_SHA512; break;
  }
  const unsigned size = gnutls_hash_get_len(algorithm);
  if (size == 0 || size > sizeof digest || gnutls_hash_fast(algorithm, in, length, digest) != 0) return nullptr;
  return StringToHex(digest, static_cast<int>(size));
}

}  // namespace

char* SHA1(const char* text) { return digestText(text, Kind::Sha1, __LINE__); }
char* SHA224(const char* text) { return digestText(text, Kind::Sha224, __LINE__); }
char* SHA256(const char* text) { return digestText(text, Kind::Sha256, __LINE__); }
char* SHA384(const char* text) { return digestText(text, Kind::Sha384, __LINE__); }
char* SHA512(const char* text) { return digestText(text, Kind::Sha512, __LINE__); }

char* StringToHex(const unsigned char* bytes, int count) {
  if (!bytes) {
    printfNullParameter("bytes", kModule, __LINE__);
    return nullptr;
  }
  const uint64_t n = count > 0 ? static_cast<uint64_t>(count) : 0;
  char* text = static_cast<char*>(newMemSize(2 * n + 1));
  if (!text) {
    printfMemoryFail(kModule, __LINE__);
    return nullptr;
  }
  static const char kDigits[] = "0123456789ABCDEF";
  for (uint64_t i = 0; i < n; ++i) {
    text[2 * i] = kDigits[bytes[i] >> 4];
    text[2 * i + 1] = kDigits[bytes[i] & 15];
  }
  return text;
}
