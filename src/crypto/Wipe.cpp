#include "crypto/Wipe.h"

void secureZero(void* memory, size_t size) {
  if (!memory) return;
  volatile unsigned char* p = static_cast<volatile unsigned char*>(memory);
  while (size--) *p++ = 0;
}
