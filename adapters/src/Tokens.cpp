// PKCS#11 through p11-kit for the PKI adapter.
#include "Tokens.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Pinentry.h"
#include "diag/IniProfile.h"

namespace tokens {

using adapterkit::ErrorCode;

namespace {

constexpr CK_ULONG kMaxObjects = 256;
constexpr size_t kMaxAttribute = 64 * 1024;

std::string configuredModule() {
  const char* chosen = getenv("NOX_PKCS11_MODULE");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  std::string dir;
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (config != nullptr && config[0] == '/') dir = config;
  else if (home != nullptr && home[0] == '/') dir = std::string(home) + "/.config";
  else return "";
  std::string ini = dir + "/NoxHalvorant/NoxPkiCryptAdapter.ini";
  char value[512] = {0};
  if (GetIniProfileString("PKCS11", "Module", value, sizeof value, ini.c_str()) != 0) return "";
  return value;
}

// Reads one attribute of any length (up to kMaxAttribute); false when absent.
bool attribute(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type,
               std::vector<unsigned char>* out) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  if (m->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
      a.ulValueLen > kMaxAttribute)
    return false;
  out->assign(a.ulValueLen, 0);
  a.pValue = out->data();
  return m->C_GetAttributeValue(s, o, &a, 1) == CKR_OK;
}

// Object handles of a class (and id, when given) in an open session.
CK_RV find(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::vector<unsigned char>* id,
           std::vector<CK_OBJECT_HANDLE>* out) {
  CK_ATTRIBUTE query[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, nullptr, 0}};
  CK_ULONG count = 1;
  if (id != nullptr) {
    query[1].pValue = const_cast<unsigned char*>(id->data());
    query[1].ulValueLen = id->size();
    count = 2;
  }
  CK_RV rv = m->C_FindObjectsInit(s, query, count);
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE found[kMaxObjects];
  CK_ULONG n = 0;
  rv = m->C_FindObjects(s, found, kMaxObjects, &n);
  m->C_FindObjectsFinal(s);
  if (rv != CKR_OK) return rv;
  out->assign(found, found + n);
  return CKR_OK;
}

// A session closed on every path.
class Session {
 public:
  Session(const Token& t, bool readWrite) : module_(t.module) {
    CK_FLAGS flags = CKF_SERIAL_SESSION | (readWrite ? CKF_RW_SESSION : 0);
    rv_ = module_->C_OpenSession(t.slot, flags, nullptr, nullptr, &handle_);
  }
  ~Session() {
    if (rv_ == CKR_OK) module_->C_CloseSession(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  CK_RV rv() const { return rv_; }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  CK_FUNCTION_LIST* module_;
  CK_SESSION_HANDLE handle_ = 0;
  CK_RV rv_;
};

std::string pinTriesNote(CK_FLAGS flags) {
  if ((flags & CKF_USER_PIN_LOCKED) != 0) return " The PIN is now locked.";
  if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) return " One try is left before the PIN is locked.";
  if ((flags & CKF_USER_PIN_COUNT_LOW) != 0) return " Few tries are left before the PIN is locked.";
  return "";
}

}  // namespace

std::string trimmed(const unsigned char* text, size_t size) {
  size_t n = size;
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  return std::string(reinterpret_cast<const char*>(text), n);
}

Failure failureOf(CK_RV rv, const char* during) {
  char code[32];
  snprintf(code, sizeof code, " (0x%lx)", static_cast<unsigned long>(rv));
  switch (rv) {
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
      return {ErrorCode::NoToken, "The token was removed."};
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_INVALID:
      return {ErrorCode::PinIncorrect, "The PIN is wrong."};
    case CKR_PIN_LOCKED:
      return {ErrorCode::PinLocked, "The PIN is locked."};
    case CKR_FUNCTION_CANCELED:
      return {ErrorCode::UserCancelled, "The PIN entry was cancelled."};
    case CKR_USER_PIN_NOT_INITIALIZED:
      return {ErrorCode::PinLocked, "The token has no user PIN yet."};
    default:
      return {ErrorCode::TokenError, std::string("The token failed while ") + during + code + "."};
  }
}

Modules::~Modules() {
  if (all_ != nullptr) p11_kit_modules_finalize_and_release(all_);
  if (single_ != nullptr) {
    p11_kit_module_finalize(single_);
    p11_kit_module_release(single_);
  }
}

bool Modules::load(Failure* why) {
  std::string path = configuredModule();
  if (!path.empty()) {
    single_ = p11_kit_module_load(path.c_str(), 0);
    if (single_ == nullptr) {
      *why = {ErrorCode::TokenError, "The PKCS#11 module " + path + " could not be loaded."};
      return false;
    }
    CK_RV rv = p11_kit_module_initialize(single_);
    if (rv != CKR_OK) {
      p11_kit_module_release(single_);
      single_ = nullptr;
      *why = failureOf(rv, "starting the PKCS#11 module");
      return false;
    }
    return true;
  }
  all_ = p11_kit_modules_load_and_initialize(0);
  if (all_ == nullptr) {
    *why = {ErrorCode::TokenError, "The PKCS#11 modules could not be loaded."};
    return false;
  }
  return true;
}

std::vector<Token> Modules::tokens() const {
  std::vector<CK_FUNCTION_LIST*> modules;
  if (single_ != nullptr) modules.push_back(single_);
  for (CK_FUNCTION_LIST** m = all_; m != nullptr && *m != nullptr; ++m) {
    // The system's trust store (CA certificates, no keys) is no token of the user's.
    char* trust = p11_kit_config_option(*m, "trust-policy");
    bool trustStore = trust != nullptr && strcmp(trust, "yes") == 0;
    free(trust);
    if (!trustStore) modules.push_back(*m);
  }
  std::vector<Token> out;
  for (CK_FUNCTION_LIST* m : modules) {
    CK_ULONG count = 0;
    if (m->C_GetSlotList(CK_TRUE, nullptr, &count) != CKR_OK || count == 0) continue;
    std::vector<CK_SLOT_ID> slots(count);
    if (m->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) continue;
    slots.resize(count);
    for (CK_SLOT_ID slot : slots) {
      CK_TOKEN_INFO info;
      if (m->C_GetTokenInfo(slot, &info) != CKR_OK) continue;
      if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
      out.push_back({m, slot, trimmed(info.label, sizeof info.label),
                     trimmed(info.serialNumber, sizeof info.serialNumber),
                     trimmed(info.manufacturerID, sizeof info.manufacturerID),
                     trimmed(info.model, sizeof info.model), info.flags});
    }
  }
  return out;
}

bool certificates(const std::vector<Token>& list, size_t token, std::vector<Certificate>* out, Failure* why) {
  const Token& t = list[token];
  Session session(t, false);
  if (session.rv() != CKR_OK) {
    *why = failureOf(session.rv(), "opening a session");
    return false;
  }
  std::vector<CK_OBJECT_HANDLE> certs, privates, publics;
  CK_RV rv = find(t.module, session.handle(), CKO_CERTIFICATE, nullptr, &certs);
  if (rv == CKR_OK) rv = find(t.module, session.handle(), CKO_PRIVATE_KEY, nullptr, &privates);
  if (rv == CKR_OK) rv = find(t.module, session.handle(), CKO_PUBLIC_KEY, nullptr, &publics);
  if (rv != CKR_OK) {
    *why = failureOf(rv, "listing objects");
    return false;
  }
  // Keys private to a login stay hidden until then; a public key with the same id
  // tells that the pair is there.
  std::vector<std::vector<unsigned char>> keyIds;
  for (const auto* handles : {&privates, &publics})
    for (CK_OBJECT_HANDLE h : *handles) {
      std::vector<unsigned char> id;
      if (attribute(t.module, session.handle(), h, CKA_ID, &id) && !id.empty()) keyIds.push_back(id);
    }
  for (CK_OBJECT_HANDLE h : certs) {
    CK_CERTIFICATE_TYPE type = 0;
    CK_ATTRIBUTE a{CKA_CERTIFICATE_TYPE, &type, sizeof type};
    if (t.module->C_GetAttributeValue(session.handle(), h, &a, 1) != CKR_OK || type != CKC_X_509) continue;
    Certificate c{token, {}, {}, false};
    if (!attribute(t.module, session.handle(), h, CKA_VALUE, &c.der) || c.der.empty()) continue;
    attribute(t.module, session.handle(), h, CKA_ID, &c.id);
    for (const auto& id : keyIds)
      if (!c.id.empty() && id == c.id) c.hasKey = true;
    out->push_back(std::move(c));
  }
  return true;
}

bool sign(const SignRequest& request, std::vector<unsigned char>* signature, Failure* why) {
  const Token& t = *request.token;
  CK_FUNCTION_LIST* m = t.module;
  Session session(t, false);
  if (session.rv() != CKR_OK) {
    *why = failureOf(session.rv(), "opening a session");
    return false;
  }
  CK_ULONG pinLength = request.pin != nullptr ? strlen(request.pin) : 0;
  CK_RV rv = CKR_OK;
  if (request.login)
    rv = m->C_Login(session.handle(), CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(request.pin)),
                    pinLength);
  if (rv == CKR_USER_ALREADY_LOGGED_IN) rv = CKR_OK;
  if (rv != CKR_OK) {
    *why = failureOf(rv, "logging in");
    if (why->code == ErrorCode::PinIncorrect) {
      CK_TOKEN_INFO info;
      if (m->C_GetTokenInfo(t.slot, &info) == CKR_OK) {
        if ((info.flags & CKF_USER_PIN_LOCKED) != 0) why->code = ErrorCode::PinLocked;
        why->message += pinTriesNote(info.flags);
      }
    }
    return false;
  }
  bool ok = false;
  std::vector<CK_OBJECT_HANDLE> keys;
  rv = find(m, session.handle(), CKO_PRIVATE_KEY, &request.id, &keys);
  if (rv != CKR_OK) {
    *why = failureOf(rv, "looking for the key");
  } else if (keys.empty()) {
    *why = {ErrorCode::NotFound, "The token holds no private key for this certificate."};
  } else {
    CK_RSA_PKCS_PSS_PARAMS pss{request.hash, 0, request.toSign.size()};
    pss.mgf = request.hash == CKM_SHA512 ? CKG_MGF1_SHA512 : request.hash == CKM_SHA384 ? CKG_MGF1_SHA384
                                                                                         : CKG_MGF1_SHA256;
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    if (request.mechanism == Mechanism::RsaPss) mechanism = {CKM_RSA_PKCS_PSS, &pss, sizeof pss};
    if (request.mechanism == Mechanism::Ecdsa) mechanism = {CKM_ECDSA, nullptr, 0};
    rv = m->C_SignInit(session.handle(), &mechanism, keys[0]);
    CK_ULONG size = 0;
    std::vector<unsigned char> data = request.toSign;
    if (rv == CKR_OK) rv = m->C_Sign(session.handle(), data.data(), data.size(), nullptr, &size);
    if (rv == CKR_OK && size > 0 && size <= 1024) {
      signature->assign(size, 0);
      rv = m->C_Sign(session.handle(), data.data(), data.size(), signature->data(), &size);
      signature->resize(size);
    } else if (rv == CKR_OK) {
      rv = CKR_GENERAL_ERROR;
    }
    if (rv == CKR_MECHANISM_INVALID || rv == CKR_KEY_TYPE_INCONSISTENT || rv == CKR_KEY_FUNCTION_NOT_PERMITTED)
      *why = {ErrorCode::BadInput, "The key cannot make this kind of signature."};
    else if (rv != CKR_OK)
      *why = failureOf(rv, "signing");
    ok = rv == CKR_OK;
  }
  if (request.login) m->C_Logout(session.handle());
  return ok;
}

}  // namespace tokens
