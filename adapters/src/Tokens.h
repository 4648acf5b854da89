// PKCS#11 access of the PKI adapter through p11-kit: the modules registered for the user
// (or the one module a setting names), their tokens, certificates and keys, and signing.
//
// Modules are loaded and initialised once, at the first call of a session (each session
// has its own copy of the adapter, so its own module set), and finalised at the session's
// release; p11-kit shares one initialisation of a module among all its users. Tokens are
// looked for again at every call (the slots with a token present), so a card put in or
// taken out between two calls is seen at once. The modules scan side by side; one that has
// not answered within kFreshScanWait (some take seconds at every scan for a card none of
// their drivers knows) answers from its previous scan, and its fresh one is seen by the next
// call.
//
// Every call into a module runs through the kit's bounded call: a module that does not
// answer within kModuleLimit gives NO_SERVICE with its name and is not called again in
// this session (nor finalised: a thread is still inside it); the other modules still
// answer.
#pragma once
#include <p11-kit/p11-kit.h>

#include <chrono>
#include <string>
#include <vector>

#include "AdapterKit.h"

namespace tokens {

// How long one step of work in a module (start-up, a slot scan, a listing, a login and
// signature) may take before the module counts as not answering.
constexpr std::chrono::seconds kModuleLimit{10};
// What each signature after the first adds to a signing step's limit (a batch signs many
// with one login; a card may take most of a second for each).
constexpr std::chrono::seconds kPerSignature{1};

// The longest a signing step of count signatures may take.
std::chrono::milliseconds signingLimit(size_t count);

// A failure: the answer code and a message for a person.
struct Failure {
  adapterkit::ErrorCode code;
  std::string message;
};

struct Token {
  size_t module;  // index into the session's module set
  CK_SLOT_ID slot;
  std::string moduleName;
  std::string label;
  std::string serial;
  std::string manufacturer;
  std::string model;
  CK_FLAGS flags;  // CKF_* of the token information
  bool earlier = false;  // from the module's previous scan: its fresh one was still running
};

// What one scan found: the tokens present now, and the modules that could not say.
struct Scan {
  std::vector<Token> tokens;
  std::vector<Failure> unavailable;  // one per module that failed or does not answer
};

// Loads and initialises the modules at the first call, then lists the tokens present (a
// slow module's from its previous scan, marked earlier).
// False with *why when p11-kit could not read its registry (no module registered is no
// failure: no tokens).
bool scan(Scan* out, Failure* why);

// Whether token t is still in its slot (the same label and serial); its flags are read
// afresh. Asks that one slot only: cheaper than a scan where a module is slow to scan.
bool present(Token* t);

// Finalises and releases the modules (the session's release). Modules that did not answer
// stay as they are.
void release();

enum class KeySeen {
  Yes,          // a private or public key for it is visible before login
  AfterLogin,   // no key is visible, and the token shows none before login
  No,           // the token shows its keys before login, and none is this one's
};

struct Certificate {
  size_t token;  // index into Scan::tokens
  std::vector<unsigned char> id;
  std::vector<unsigned char> der;
  KeySeen key;
};

// The X.509 certificates on a token (public objects, no login); false with *why.
bool certificates(const std::vector<Token>& list, size_t token, std::vector<Certificate>* out, Failure* why);

enum class Mechanism { RsaPkcs1, RsaPss, Ecdsa };

// Work with a certificate's private key: one session, one login, the key found by CKA_ID
// or else by the certificate's public key, then each input signed.
struct SignRequest {
  const Token* token;
  const Certificate* certificate;
  Mechanism mechanism;
  CK_MECHANISM_TYPE hash;                        // CKM_SHA256 / CKM_SHA384 / CKM_SHA512
  std::vector<std::vector<unsigned char>> inputs;  // DigestInfo + hash for PKCS #1, the hash otherwise
  const char* pin;  // null for a protected authentication path (PIN pad) or no login
  bool login;       // false for a token that needs no login
};

// Signs every input; *signatures gets one signature each. NOT_FOUND when the token holds
// no private key for the certificate after login; PIN_INCORRECT tells the remaining tries
// as far as the token's flags tell them.
bool sign(const SignRequest& request, std::vector<std::vector<unsigned char>>* signatures, Failure* why);

// A space-padded PKCS#11 text field without its padding.
std::string trimmed(const unsigned char* text, size_t size);

}  // namespace tokens
