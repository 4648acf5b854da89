// Internal to src/crypto/: no other module includes it.
// Small self-contained AES-128 block code (FIPS-197, 16-byte key, 10 rounds) behind the
// AES-128 text form.
//
// The working state (expanded key and chaining block) lives in the caller's AES128_STATE
// rather than in process-wide variables, so calls on different states are re-entrant.
#pragma once
#include <cstdint>

struct AES128_STATE {
  unsigned char roundKey[176];
  unsigned char chain[16];
  unsigned char keyed;  // 1 once a key has been expanded into this state
};

// One block; key and blocks are 16 bytes; in place allowed. Null arguments: nothing happens.
void AES128_ECB_encrypt(const unsigned char* input, const unsigned char* key, unsigned char* output);
void AES128_ECB_decrypt(const unsigned char* input, const unsigned char* key, unsigned char* output);

// CBC over the whole 16-byte blocks of length (a shorter tail is left untouched). A non-null
// key expands a new key into the state; a non-null iv restarts the chaining at it; with both
// null the call continues the chaining of the previous call on the same state. In place
// allowed. Without any key in the state, nothing is written.
void AES128_CBC_encrypt_buffer(AES128_STATE* state, unsigned char* output, const unsigned char* input,
                               uint64_t length, const unsigned char* key, const unsigned char* iv);
void AES128_CBC_decrypt_buffer(AES128_STATE* state, unsigned char* output, const unsigned char* input,
                               uint64_t length, const unsigned char* key, const unsigned char* iv);
