// TLS credentials of the listeners: the localhost certificate and its private key.
//
// Both are issued per build (tools/NoxCertGen) by a local CA whose key is never kept; the
// private key travels in the binary only in the AES-256-CBC text form, under a key that is
// rebuilt at run time from two shares kept in separate translation units.
#pragma once

// A copy of the certificate PEM text; null (allocation-failure lines) when it cannot be
// made. The caller releases it with freeMem.
char* getCert();

// The decrypted private key PEM text, or null (allocation-failure lines). The caller owns
// it and must overwrite it with random bytes over its whole length before releasing it.
// The rebuilt key-decryption key is wiped before this returns.
char* getKey();
