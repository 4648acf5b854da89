// Internal to src/crypto/: no other module includes it.
// RC4 on the engine's byte state: the 256-byte permutation, then the indices i and j.
#pragma once
#include <cstdint>

constexpr int kRc4StateBytes = 258;

// Key schedule; key byte for position n is key[n mod keyLength] (keyLength >= 1).
// Leaves i and j untouched (they start at 0 in a zero-filled context).
void rc4Setup(unsigned char state[kRc4StateBytes], const unsigned char* key, uint64_t keyLength);
// XORs the keystream over length bytes; in place allowed.
void rc4Crypt(unsigned char state[kRc4StateBytes], const unsigned char* input, uint64_t length,
              unsigned char* output);
