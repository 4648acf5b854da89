// AES-CBC helpers: the service's encrypted-text form.
//
// AES-256 form: plaintext = "HalvorantAESCBC" + text + NUL, AES-256-CBC with PKCS#7
// padding under a caller-given 32-byte key and 16-byte IV; raw cipher bytes.
// AES-128 form: text + NUL zero-padded to 64-byte chunks, each chunk AES-128-CBC from the
// same IV, no padding. Results are fresh allocations (freeMem) owned by the caller.
#pragma once
#include <cstdint>

unsigned char* AES256_Encrypt_CBC(const char* text, const unsigned char* key, const unsigned char* iv,
                                  uint64_t* outLength);
// Returns the text without the marker (or the whole plaintext when it has none); null on failure.
char* AES256_Decrypt_CBC(const unsigned char* data, uint64_t length, const unsigned char* key,
                         const unsigned char* iv);

unsigned char* AES128_Encrypt_CBC(const char* text, const unsigned char* key, const unsigned char* iv,
                                  uint64_t* outLength);
unsigned char* AES128_Decrypt_CBC(const unsigned char* data, uint64_t length, const unsigned char* key,
                                  const unsigned char* iv);
