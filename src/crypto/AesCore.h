// Internal to src/crypto/: no other module includes it.
// AES block cipher (FIPS-197) on the engine's round-key words.
//
// Round keys are FIPS-197 words w[i] (first key byte most significant), 4 x (rounds + 1)
// of them: 44, 52 or 60 for 16-, 24- or 32-byte keys. Decryption uses the equivalent
// inverse cipher: the same words with the inner round keys run through InvMixColumns.
#pragma once
#include <cstdint>

// keyLength 16, 24 or 32 bytes; writes keyLength + 28 words.
void aesExpandKey(const unsigned char* key, int keyLength, uint32_t* roundKeys);
// Converts an expanded schedule in place for aesDecryptBlock.
void aesInvertKey(uint32_t* roundKeys, int rounds);

// rounds = 10, 12 or 14. In place allowed.
void aesEncryptBlock(const uint32_t* roundKeys, int rounds, const unsigned char input[16],
                     unsigned char output[16]);
void aesDecryptBlock(const uint32_t* roundKeys, int rounds, const unsigned char input[16],
                     unsigned char output[16]);
