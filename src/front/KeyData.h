// Internal to src/front/: no other module includes it.
// Credential data generated at build time into the build tree (NoxCredential.cpp and
// NoxCredentialShare.cpp); only Key.cpp reads it.
#pragma once
#include <cstdint>

extern const char kNoxCertPem[];             // leaf certificate, PEM
extern const unsigned char kNoxKeyCipher[];  // leaf key PEM in the AES-256-CBC text form
extern const uint64_t kNoxKeyCipherLength;
extern const unsigned char kNoxKeyIv[16];
// The hexadecimal key text is kNoxKeyShareA XOR kNoxKeyShareB, byte by byte.
extern const unsigned char kNoxKeyShareA[64];
extern const unsigned char kNoxKeyShareB[64];
