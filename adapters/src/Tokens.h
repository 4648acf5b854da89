// PKCS#11 access of the PKI adapter through p11-kit: the modules registered for the user
// (or the one module a setting names), their tokens, certificates and keys, and signing.
//
// Modules are loaded and initialised per adapter call and finalised after it, so a card
// put in or taken out between two calls is always seen as it is now.
#pragma once
#include <p11-kit/p11-kit.h>

#include <string>
#include <vector>

#include "AdapterKit.h"

namespace tokens {

struct Token {
  CK_FUNCTION_LIST* module;
  CK_SLOT_ID slot;
  std::string label;
  std::string serial;
  std::string manufacturer;
  std::string model;
  CK_FLAGS flags;  // CKF_* of the token information
};

struct Certificate {
  size_t token;  // index into the token list
  std::vector<unsigned char> id;
  std::vector<unsigned char> der;
  bool hasKey;  // a private or public key object with the same CKA_ID is visible
};

// A failure: the answer code and a message for a person.
struct Failure {
  adapterkit::ErrorCode code;
  std::string message;
};

// The loaded modules; releases (finalises) them when destroyed.
class Modules {
 public:
  Modules() = default;
  ~Modules();
  Modules(const Modules&) = delete;
  Modules& operator=(const Modules&) = delete;

  // Loads $NOX_PKCS11_MODULE, else the "Module" key of section "PKCS11" in the adapter's
  // INI file ($XDG_CONFIG_HOME or ~/.config, NoxHalvorant/NoxPkiCryptAdapter.ini), else
  // every module registered with p11-kit. False with *why when nothing could be loaded.
  bool load(Failure* why);
  // Tokens present and initialised in every slot of every module.
  std::vector<Token> tokens() const;

 private:
  CK_FUNCTION_LIST** all_ = nullptr;
  CK_FUNCTION_LIST* single_ = nullptr;
};

// Certificates (X.509) on a token; false with *why when the token fails.
bool certificates(const std::vector<Token>& list, size_t token, std::vector<Certificate>* out, Failure* why);

// The failure for a PKCS#11 return value (what the token said, for a person).
Failure failureOf(CK_RV rv, const char* during);

enum class Mechanism { RsaPkcs1, RsaPss, Ecdsa };

struct SignRequest {
  const Token* token;
  std::vector<unsigned char> id;
  Mechanism mechanism;
  CK_MECHANISM_TYPE hash;  // CKM_SHA256 / CKM_SHA384 / CKM_SHA512
  std::vector<unsigned char> toSign;  // DigestInfo + hash for PKCS #1, the hash otherwise
  const char* pin;  // null for a protected authentication path (PIN pad)
  bool login;       // false for a token that needs no login
};

// Opens a session, logs in, signs and logs out. On PIN_INCORRECT the message tells the
// remaining tries as far as the token's flags tell them.
bool sign(const SignRequest& request, std::vector<unsigned char>* signature, Failure* why);

// A space-padded PKCS#11 text field without its padding.
std::string trimmed(const unsigned char* text, size_t size);

}  // namespace tokens
