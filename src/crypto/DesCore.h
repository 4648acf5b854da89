// Internal to src/crypto/: no other module includes it.
// DES block cipher (FIPS 46-3) on the engine's 32-word key schedules.
//
// A schedule holds 16 rounds x 2 words, each word four 6-bit subkey groups laid out for
// the combined S-box/permutation tables. A decryption schedule is the encryption one with
// the rounds in reverse order, so one block routine serves both directions.
#pragma once
#include <cstdint>

void desSchedule(const unsigned char key[8], bool decrypt, uint32_t schedule[32]);

// Runs the block through `count` (1 or 3) schedules in turn with one initial and one final
// permutation: single DES, or the E-D-E / D-E-D chain of triple DES. In place allowed.
void desCrypt(const uint32_t* const schedules[], int count, const unsigned char input[8],
              unsigned char output[8]);
