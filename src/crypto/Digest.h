// Text digests as upper-case hexadecimal (GnuTLS one-shot hashing underneath).
// The digest covers the text's bytes up to its NUL. Null text gives null.
#pragma once

char* SHA1(const char* text);
char* SHA224(const char* text);
char* SHA256(const char* text);
char* SHA384(const char* text);
char* SHA512(const char* text);
char* StringToHex(const unsigned char* bytes, int count);  // "0123456789ABCDEF", high half first
