// Internal to src/front/: no other module includes it.
// Making and checking the user's CA and localhost certificate with GnuTLS (Key.cpp stores
// them). Every text is a PEM text in a newMemSize block: key texts are wiped with
// freeTextWiped, certificate texts released with freeMem.
#pragma once
#include <ctime>

constexpr long kDaySeconds = 24L * 60 * 60;
constexpr long kCaDays = 3650;    // ten years: a new CA means trusting it again
constexpr long kLeafDays = 825;   // the longest lifetime clients accept for a TLS server certificate

struct IssuedPair {
  char* certificate = nullptr;
  char* key = nullptr;  // PKCS #8
};
// Releases both texts (the key wiped) and empties the pair.
void releasePair(IssuedPair* pair);

// A new CA, valid from now for kCaDays. False with *why on failure.
bool issueCa(time_t now, IssuedPair* ca, const char** why);
// A new localhost leaf signed by ca (texts), valid from now for kLeafDays, never past the
// CA's own end. False with *why on failure (a CA key that does not match its certificate
// included).
bool issueLeaf(const IssuedPair& ca, time_t now, IssuedPair* leaf, const char** why);

// What a certificate text is: its notAfter, and whether it is a CA. False when unreadable.
bool certificateFacts(const char* certificate, time_t* notAfter, bool* isCa);
// True when key is the private key of certificate.
bool keyMatches(const char* certificate, const char* key);
// True when leaf carries a valid signature of ca (times are judged by the caller).
bool signedBy(const char* leaf, const char* ca);
