// Zeroing of key material and plaintext that the compiler may not drop.
#pragma once
#include <cstddef>

void secureZero(void* memory, size_t size);
