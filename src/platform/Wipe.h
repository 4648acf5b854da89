// The one wipe of the service: secrets (keys, plaintext, answer texts) are overwritten with
// zeros before their memory is reused or released. Backed by explicit_bzero (glibc) or
// memset_s (macOS), which the compiler may not remove as a dead store. Nothing here prints
// or allocates, so every layer may use it.
#pragma once
#include <cstddef>

// Zeros size bytes at memory; a null memory is ignored.
void wipeMemory(void* memory, size_t size);

// wipeMemory over size bytes, then free. For blocks from malloc/calloc (newMemSize).
void freeWiped(void* memory, size_t size);

// Zeros a NUL-terminated text over its length, then frees it; null is ignored.
void freeTextWiped(char* text);

// Zeros `bytes` of stack below the caller's frame: the locals and register spills that the
// functions it called before left there (key schedules, decoded key bytes, plaintext blocks),
// and the vector registers, whose stale contents a later register save would put back on
// the stack. A caller runs it right after a call chain that handled a secret.
void wipeStackBelow(size_t bytes);
