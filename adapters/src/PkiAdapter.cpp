// NoxPkiCryptAdapter: the user's certificates on PKCS#11 tokens and smart cards (through
// p11-kit), and signatures with their keys after the user agreed in a pinentry dialog.
//
// Functions (parameter names match ignoring case; every answer is JSON text):
//   "ListCertificates" [KeyUsage] -> {"certificates":[{id, token, tokenSerial, subject, ...}]}
//   "Sign" CertificateId [TokenSerial] Digest DigestAlgorithm [Padding]
//                                  -> {"signature","algorithm","certificate"}
//   "GetTokens"                    -> {"tokens":[{label, serial, manufacturer, model, ...}]}
// Failures answer {"error":{"code":"<CODE>","message":"<text>"}} (AdapterKit.h).
// Nothing of the tokens is touched or told before the person allowed the page's site to use
// them (once per site while the service runs, Dialogs.h); every signature then asks for the
// PIN (or, on a PIN pad or a key without PIN, for a confirmation).
//
// Limits: a call ends within the kit's kCallBudget (140 s). Each step of work in a token's
// module is bounded (Tokens.h: 10 s, then NO_SERVICE naming the module); a dialog gets
// what is left of the budget after the steps that follow it, at most kDialogLimit.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "AdapterKit.h"
#include "Dialogs.h"
#include "Pinentry.h"
#include "Tokens.h"
#include "platform/Wipe.h"

using adapterkit::answer;
using adapterkit::answerWhole;
using adapterkit::appendJsonString;
using adapterkit::error;
using adapterkit::ErrorCode;
using adapterkit::param;
using adapterkit::sameName;

namespace {

constexpr const char* kVersion = "1.1.0.0";
constexpr size_t kPinCapacity = 256;
// The longest a dialog waits for the person.
constexpr std::chrono::seconds kDialogLimit{120};

using Clock = std::chrono::steady_clock;

// The end of the current entry-point call's budget (calls of a session come in order).
Clock::time_point g_deadline;

// Seconds a dialog may take now, leaving reserve for the work after it. Test seam:
// $NOX_TEST_DIALOG_SECONDS shortens it.
int dialogSeconds(Clock::duration reserve) {
  auto left = std::chrono::duration_cast<std::chrono::seconds>(g_deadline - Clock::now() - reserve);
  long seconds = std::min<long>(static_cast<long>(left.count()), static_cast<long>(kDialogLimit.count()));
  const char* test = getenv("NOX_TEST_DIALOG_SECONDS");
  if (test != nullptr && atol(test) > 0) seconds = std::min(seconds, atol(test));
  return static_cast<int>(std::max(1L, seconds));
}

// ---- Consent ---------------------------------------------------------------------------

// What the person allows a site once (Dialogs.h): to see and use the tokens' certificates.
constexpr const char* kPurpose = "pki.certificates";

// The site's consent, asked when not granted before: nothing of the tokens is touched or
// told before it. work is the time the steps after it may take.
bool consent(const dialogs::Requester& who, Clock::duration work, dialogs::Refusal* why) {
  return dialogs::confirm(who, kPurpose,
                          "This site wants to see the certificates on your tokens and smart cards, and to ask you "
                          "to sign with them.\nAllow this site?",
                          "The user did not allow this site to see the certificates.", dialogSeconds(work), why);
}

const char* fail(const dialogs::Refusal& r) { return error(r.code, r.message.c_str()); }

const char* fail(const tokens::Failure& f) { return error(f.code, f.message.c_str()); }

// ---- Certificates --------------------------------------------------------------------------

struct KeyUsageName {
  unsigned bit;
  const char* name;
};
constexpr KeyUsageName kKeyUsages[] = {
    {GNUTLS_KEY_DIGITAL_SIGNATURE, "digitalSignature"}, {GNUTLS_KEY_NON_REPUDIATION, "nonRepudiation"},
    {GNUTLS_KEY_KEY_ENCIPHERMENT, "keyEncipherment"},   {GNUTLS_KEY_DATA_ENCIPHERMENT, "dataEncipherment"},
    {GNUTLS_KEY_KEY_AGREEMENT, "keyAgreement"},         {GNUTLS_KEY_KEY_CERT_SIGN, "keyCertSign"},
    {GNUTLS_KEY_CRL_SIGN, "cRLSign"},                   {GNUTLS_KEY_ENCIPHER_ONLY, "encipherOnly"},
    {GNUTLS_KEY_DECIPHER_ONLY, "decipherOnly"},
};

struct Parsed {
  std::string subject, issuer, serial, notBefore, notAfter;
  bool rsa = false, ec = false;
  unsigned bits = 0;
  unsigned usage = 0;
  bool hasUsage = false;
};

std::string isoTime(time_t t) {
  if (t == static_cast<time_t>(-1)) return "";
  struct tm parts;
  char text[32] = {0};
  if (gmtime_r(&t, &parts) == nullptr) return "";
  strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string takeDatum(gnutls_datum_t* d) {
  std::string out(reinterpret_cast<const char*>(d->data), d->size);
  gnutls_free(d->data);
  return out;
}

bool parse(const std::vector<unsigned char>& der, Parsed* out) {
  gnutls_x509_crt_t crt;
  if (gnutls_x509_crt_init(&crt) < 0) return false;
  gnutls_datum_t in{const_cast<unsigned char*>(der.data()), static_cast<unsigned>(der.size())};
  bool ok = gnutls_x509_crt_import(crt, &in, GNUTLS_X509_FMT_DER) >= 0;
  gnutls_datum_t dn;
  if (ok && gnutls_x509_crt_get_dn3(crt, &dn, 0) >= 0) out->subject = takeDatum(&dn);
  if (ok && gnutls_x509_crt_get_issuer_dn3(crt, &dn, 0) >= 0) out->issuer = takeDatum(&dn);
  unsigned char serial[64];
  size_t serialSize = sizeof serial;
  if (ok && gnutls_x509_crt_get_serial(crt, serial, &serialSize) >= 0) out->serial = adapterkit::hexText(serial, serialSize);
  if (ok) {
    out->notBefore = isoTime(gnutls_x509_crt_get_activation_time(crt));
    out->notAfter = isoTime(gnutls_x509_crt_get_expiration_time(crt));
    int algorithm = gnutls_x509_crt_get_pk_algorithm(crt, &out->bits);
    out->rsa = algorithm == GNUTLS_PK_RSA || algorithm == GNUTLS_PK_RSA_PSS;
    out->ec = algorithm == GNUTLS_PK_ECDSA;
    unsigned critical = 0;
    out->hasUsage = gnutls_x509_crt_get_key_usage(crt, &out->usage, &critical) >= 0;
  }
  gnutls_x509_crt_deinit(crt);
  return ok;
}

std::string base64(const std::vector<unsigned char>& bytes) {
  gnutls_datum_t in{const_cast<unsigned char*>(bytes.data()), static_cast<unsigned>(bytes.size())};
  gnutls_datum_t out{nullptr, 0};
  if (gnutls_base64_encode2(&in, &out) < 0) return "";
  return takeDatum(&out);
}

void appendMember(std::string& json, const char* key, const std::string& value) {
  appendJsonString(json, key);
  json += ':';
  appendJsonString(json, value.c_str());
  json += ',';
}

// Every token's certificates, and what could not be read: a module that failed or does
// not answer, a token that failed while being read.
struct Inventory {
  tokens::Scan scan;
  std::vector<tokens::Certificate> certificates;
};

bool inventory(Inventory* inv, tokens::Failure* why) {
  if (!tokens::scan(&inv->scan, why)) return false;
  for (size_t i = 0; i < inv->scan.tokens.size(); ++i) {
    tokens::Failure failed;
    if (tokens::certificates(inv->scan.tokens, i, &inv->certificates, &failed)) continue;
    // Seen by a slow module's previous scan and taken out since: simply not there now.
    if (inv->scan.tokens[i].earlier && failed.code == adapterkit::ErrorCode::NoToken) continue;
    // A module that stopped answering is named once, whichever of its tokens found it out.
    if (failed.code == adapterkit::ErrorCode::NoService) {
      auto& list = inv->scan.unavailable;
      if (std::none_of(list.begin(), list.end(), [&failed](const tokens::Failure& f) { return f.message == failed.message; }))
        list.push_back(failed);
      continue;
    }
    inv->scan.unavailable.push_back({failed.code, "The token '" + inv->scan.tokens[i].label + "' of " +
                                                        inv->scan.tokens[i].moduleName + ": " + failed.message});
  }
  // Object order on a token is the module's; pages get a stable one.
  std::stable_sort(inv->certificates.begin(), inv->certificates.end(),
                   [](const tokens::Certificate& a, const tokens::Certificate& b) {
                     return a.token != b.token ? a.token < b.token : a.id < b.id;
                   });
  return true;
}

// Where the last full inventory of this session found each certificate: Sign looks there
// first (one slot asked instead of every module scanned), and scans when it is not there.
std::vector<std::pair<tokens::Token, std::vector<unsigned char>>> g_seen;

void remember(const Inventory& inv) {
  g_seen.clear();
  for (const tokens::Certificate& c : inv.certificates) g_seen.emplace_back(inv.scan.tokens[c.token], c.id);
}

// The inventory of the one token where certificate id was seen last, if it is still there
// and still holds it; false otherwise (also when it was seen on several tokens: the scan
// then tells the page to choose).
bool lookWhereSeen(const std::vector<unsigned char>& id, const char* serial, Inventory* inv) {
  auto matches = [&id, serial](const std::pair<tokens::Token, std::vector<unsigned char>>& seen) {
    return seen.second == id && (serial == nullptr || serial[0] == '\0' || seen.first.serial == serial);
  };
  if (std::count_if(g_seen.begin(), g_seen.end(), matches) != 1) return false;
  for (const auto& seen : g_seen) {
    if (!matches(seen)) continue;
    tokens::Token token = seen.first;
    tokens::Failure failed;
    std::vector<tokens::Certificate> found;
    if (!tokens::present(&token) || !tokens::certificates({token}, 0, &found, &failed)) continue;
    for (const tokens::Certificate& c : found)
      if (c.id == id) {
        inv->scan.tokens.assign(1, token);
        inv->certificates = found;
        return true;
      }
  }
  return false;
}

// The list's closing part: what could not be read, when anything could not.
std::string unavailableJson(const std::vector<tokens::Failure>& unavailable) {
  if (unavailable.empty()) return "";
  std::string json = ",\"unavailable\":[";
  for (size_t i = 0; i < unavailable.size(); ++i) {
    json += i == 0 ? "{\"code\":" : ",{\"code\":";
    appendJsonString(json, adapterkit::errorCodeName(unavailable[i].code));
    json += ",\"message\":";
    appendJsonString(json, unavailable[i].message);
    json += '}';
  }
  return json + "]";
}

const char* listCertificates(const HalvorantJsonMap* map) {
  const char* usageFilter = param(map, "KeyUsage");
  unsigned wanted = 0;
  if (usageFilter != nullptr && usageFilter[0] != '\0') {
    for (const KeyUsageName& k : kKeyUsages)
      if (sameName(usageFilter, k.name)) wanted = k.bit;
    if (wanted == 0) return error(ErrorCode::BadInput, "KeyUsage is not a key usage name (e.g. nonRepudiation).");
  }
  dialogs::Refusal refusal;
  // The listing after it may take a step in each module.
  if (!consent(dialogs::requester(), 2 * tokens::kModuleLimit, &refusal)) return fail(refusal);
  tokens::Failure why;
  Inventory inv;
  if (!inventory(&inv, &why)) return fail(why);
  remember(inv);
  std::string json = "{\"certificates\":[";
  bool first = true;
  for (const tokens::Certificate& c : inv.certificates) {
    Parsed p;
    if (c.key == tokens::KeySeen::No || !parse(c.der, &p)) continue;
    // A certificate without the extension may be used for anything, but a page that
    // asks for a usage wants one that says so.
    if (wanted != 0 && (!p.hasUsage || (p.usage & wanted) == 0)) continue;
    const tokens::Token& t = inv.scan.tokens[c.token];
    json += first ? "{" : ",{";
    first = false;
    appendMember(json, "id", adapterkit::hexText(c.id.data(), c.id.size()));
    appendMember(json, "token", t.label);
    appendMember(json, "tokenSerial", t.serial);
    appendMember(json, "subject", p.subject);
    appendMember(json, "issuer", p.issuer);
    appendMember(json, "serial", p.serial);
    appendMember(json, "notBefore", p.notBefore);
    appendMember(json, "notAfter", p.notAfter);
    appendMember(json, "keyType", p.rsa ? "RSA" : p.ec ? "EC" : "other");
    json += "\"keyBits\":" + std::to_string(p.bits) + ",\"keyUsage\":[";
    bool firstUsage = true;
    for (const KeyUsageName& k : kKeyUsages)
      if (p.hasUsage && (p.usage & k.bit) != 0) {
        if (!firstUsage) json += ',';
        firstUsage = false;
        appendJsonString(json, k.name);
      }
    // null: the token shows its keys only after login; Sign finds this one's then.
    json += c.key == tokens::KeySeen::Yes ? "],\"hasPrivateKey\":true," : "],\"hasPrivateKey\":null,";
    appendJsonString(json, "certificate");
    json += ':';
    appendJsonString(json, base64(c.der).c_str());
    json += '}';
  }
  // Nothing to show because a module could not say: that is the answer, not an empty list.
  if (first && !inv.scan.unavailable.empty()) return fail(inv.scan.unavailable[0]);
  json += "]" + unavailableJson(inv.scan.unavailable) + "}";
  return answerWhole(json);
}

const char* getTokens() {
  dialogs::Refusal refusal;
  if (!consent(dialogs::requester(), 2 * tokens::kModuleLimit, &refusal)) return fail(refusal);
  tokens::Failure why;
  tokens::Scan scan;
  if (!tokens::scan(&scan, &why)) return fail(why);
  if (scan.tokens.empty() && !scan.unavailable.empty()) return fail(scan.unavailable[0]);
  std::string json = "{\"tokens\":[";
  bool first = true;
  for (const tokens::Token& t : scan.tokens) {
    json += first ? "{" : ",{";
    first = false;
    appendMember(json, "label", t.label);
    appendMember(json, "serial", t.serial);
    appendMember(json, "manufacturer", t.manufacturer);
    appendMember(json, "model", t.model);
    appendMember(json, "module", t.moduleName);
    json += std::string("\"loginRequired\":") + ((t.flags & CKF_LOGIN_REQUIRED) != 0 ? "true" : "false");
    json += std::string(",\"protectedAuthenticationPath\":") +
            ((t.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0 ? "true" : "false");
    json += std::string(",\"pinLocked\":") + ((t.flags & CKF_USER_PIN_LOCKED) != 0 ? "true" : "false");
    json += '}';
  }
  json += "]" + unavailableJson(scan.unavailable) + "}";
  return answerWhole(json);
}

// ---- Signing --------------------------------------------------------------------------

struct HashInfo {
  const char* name;
  const char* shortName;
  CK_MECHANISM_TYPE mechanism;
  size_t size;
  unsigned char digestInfo[19];  // DER prefix of PKCS #1 v1.5 DigestInfo
};
constexpr HashInfo kHashes[] = {
    {"SHA-256", "256", CKM_SHA256, 32,
     {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
    {"SHA-384", "384", CKM_SHA384, 48,
     {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
    {"SHA-512", "512", CKM_SHA512, 64,
     {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
};

const HashInfo* hashNamed(const char* name) {
  if (name == nullptr || name[0] == '\0') return &kHashes[0];
  for (const HashInfo& h : kHashes) {
    std::string compact = std::string("SHA") + h.shortName;  // "SHA256" is accepted too
    if (sameName(name, h.name) || sameName(name, compact.c_str())) return &h;
  }
  return nullptr;
}

bool decodeBase64(const char* text, std::vector<unsigned char>* out) {
  if (text == nullptr || text[0] == '\0') return false;
  gnutls_datum_t in{reinterpret_cast<unsigned char*>(const_cast<char*>(text)), static_cast<unsigned>(strlen(text))};
  gnutls_datum_t decoded{nullptr, 0};
  if (gnutls_base64_decode2(&in, &decoded) < 0) return false;
  out->assign(decoded.data, decoded.data + decoded.size);
  gnutls_free(decoded.data);
  return true;
}

const char* signDigest(const HalvorantJsonMap* map) {
  std::vector<unsigned char> id(128);
  size_t idLength = 0;
  const char* idText = param(map, "CertificateId");
  if (!adapterkit::hexToBytes(idText, id.data(), id.size(), &idLength) || idLength == 0)
    return error(ErrorCode::BadInput, "CertificateId must be the hexadecimal id of a listed certificate.");
  id.resize(idLength);
  const HashInfo* hash = hashNamed(param(map, "DigestAlgorithm"));
  if (hash == nullptr) return error(ErrorCode::BadInput, "DigestAlgorithm must be SHA-256, SHA-384 or SHA-512.");
  std::vector<unsigned char> digest;
  if (!decodeBase64(param(map, "Digest"), &digest))
    return error(ErrorCode::BadInput, "Digest must be the Base64 text of the hash.");
  if (digest.size() != hash->size)
    return error(ErrorCode::BadInput, (std::string("Digest must hold ") + std::to_string(hash->size) +
                                       " bytes for " + hash->name + ".").c_str());
  const char* padding = param(map, "Padding");
  bool pss = sameName(padding, "PSS");
  if (padding != nullptr && padding[0] != '\0' && !pss && !sameName(padding, "PKCS1"))
    return error(ErrorCode::BadInput, "Padding must be PKCS1 or PSS.");
  const char* serial = param(map, "TokenSerial");
  bool bySerial = serial != nullptr && serial[0] != '\0';

  // Which ids and serials exist is the tokens' business until the site may know it.
  const dialogs::Requester who = dialogs::requester();
  dialogs::Refusal refusal;
  // After it: the scan, the PIN dialog and the signing step.
  if (!consent(who, 3 * tokens::kModuleLimit + std::chrono::seconds(30), &refusal)) return fail(refusal);
  Inventory inv;
  tokens::Failure why;
  if (!lookWhereSeen(id, serial, &inv)) {
    if (!inventory(&inv, &why)) return fail(why);
    remember(inv);
  }
  const std::vector<tokens::Token>& list = inv.scan.tokens;
  const tokens::Certificate* chosen = nullptr;
  bool serialSeen = false;
  for (const tokens::Token& t : list)
    if (bySerial && t.serial == serial) serialSeen = true;
  bool onSeveralTokens = false;
  for (const tokens::Certificate& c : inv.certificates) {
    if (c.id != id || (bySerial && list[c.token].serial != serial)) continue;
    if (chosen != nullptr && chosen->token != c.token) onSeveralTokens = true;
    if (chosen == nullptr || (chosen->key != tokens::KeySeen::Yes && c.key == tokens::KeySeen::Yes)) chosen = &c;
  }
  if (chosen == nullptr) {
    // A module that could not say may hold it: its failure is the answer.
    if (!inv.scan.unavailable.empty()) return fail(inv.scan.unavailable[0]);
    if (list.empty() || (bySerial && !serialSeen))
      return error(ErrorCode::NoToken, "The token holding this certificate is not present.");
    return error(ErrorCode::NotFound, "No certificate with this id is on the tokens present.");
  }
  if (onSeveralTokens)
    return error(ErrorCode::BadInput, "Several tokens hold a certificate with this id; give TokenSerial as well.");
  Parsed p;
  if (!parse(chosen->der, &p)) return error(ErrorCode::TokenError, "The certificate on the token cannot be read.");
  if (!p.rsa && !p.ec) return error(ErrorCode::BadInput, "The certificate's key is neither RSA nor EC.");
  if (p.ec && pss) return error(ErrorCode::BadInput, "PSS padding applies to RSA keys only.");

  const tokens::Token& token = list[chosen->token];
  if ((token.flags & CKF_USER_PIN_LOCKED) != 0) return error(ErrorCode::PinLocked, "The PIN of the token is locked.");

  bool login = (token.flags & CKF_LOGIN_REQUIRED) != 0;
  tokens::SignRequest request{&token, chosen, tokens::Mechanism::RsaPkcs1, hash->mechanism, {{}}, nullptr, login};
  std::vector<unsigned char>& toSign = request.inputs[0];
  if (p.rsa && !pss) toSign.assign(hash->digestInfo, hash->digestInfo + sizeof hash->digestInfo);
  toSign.insert(toSign.end(), digest.begin(), digest.end());
  request.mechanism = p.ec ? tokens::Mechanism::Ecdsa : pss ? tokens::Mechanism::RsaPss : tokens::Mechanism::RsaPkcs1;

  std::string text = "This site wants to sign with '" + dialogs::shownText(p.subject) + "' on '" +
                     dialogs::shownText(token.label) + "'.\n";
  bool pinPad = (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  int seconds = dialogSeconds(tokens::kModuleLimit + std::chrono::seconds(5));  // the signing step after it
  const char* const refused = "The user did not allow the signature.";
  char pin[kPinCapacity];
  if (!login) {
    // Still the person's decision: the key needs no PIN, so this is the only guard.
    if (!dialogs::confirm(who, nullptr, text + "Allow this signature?", refused, seconds, &refusal)) return fail(refusal);
  } else if (pinPad) {
    if (!dialogs::confirm(who, nullptr, text + "Allow, then enter the PIN on the reader's keypad.", refused, seconds,
                          &refusal))
      return fail(refusal);
  } else {
    std::string warning;
    if ((token.flags & CKF_USER_PIN_FINAL_TRY) != 0) warning = "This is the last try before the PIN is locked.";
    else if ((token.flags & CKF_USER_PIN_COUNT_LOW) != 0) warning = "Few tries are left before the PIN is locked.";
    std::string description = dialogs::describe(who, text + "Enter the PIN to allow.");
    pinentry::Outcome outcome = pinentry::Outcome::Unavailable;
    bool asked = dialogs::ask(
        who, nullptr, seconds,
        [&](int left) { return pinentry::getPin(dialogs::kTitle, description, warning, pin, sizeof pin, left); },
        &outcome, &refusal);
    if (!asked || outcome != pinentry::Outcome::Ok) {
      wipeMemory(pin, sizeof pin);
      return fail(asked ? dialogs::pinRefusal(outcome) : refusal);
    }
    request.pin = pin;
  }
  std::vector<std::vector<unsigned char>> signatures;
  bool signedOk = tokens::sign(request, &signatures, &why);
  wipeMemory(pin, sizeof pin);
  if (!signedOk) return fail(why);

  std::string algorithm = std::string(p.ec ? "ES" : pss ? "PS" : "RS") + hash->shortName;
  std::string json = "{";
  appendMember(json, "signature", base64(signatures.at(0)));
  appendMember(json, "algorithm", algorithm);
  appendJsonString(json, "certificate");
  json += ':';
  appendJsonString(json, base64(chosen->der).c_str());
  json += '}';
  return answerWhole(json);
}


const char* call(const HalvorantJsonMap* map, const char* functionName) {
  g_deadline = Clock::now() + adapterkit::kCallBudget;
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) {
    tokens::release();
    return answer("0");
  }
  if (sameName(functionName, "ListCertificates")) return listCertificates(map);
  if (sameName(functionName, "Sign")) return signDigest(map);
  if (sameName(functionName, "GetTokens")) return getTokens();
  return error(ErrorCode::BadInput, "unknown function");
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  return adapterkit::guarded([map, functionName] { return call(map, functionName); });
}
