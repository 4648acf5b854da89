// NoxPkiCryptAdapter: the user's certificates on PKCS#11 tokens and smart cards (through
// p11-kit), and signatures with their keys after the user agreed in a pinentry dialog.
//
// Functions (parameter names match ignoring case; every answer is JSON text):
//   "ListCertificates" [KeyUsage] -> {"certificates":[{id, token, tokenSerial, subject, ...}]}
//   "Sign" CertificateId [TokenSerial] Digest DigestAlgorithm [Padding]
//                                  -> {"signature","algorithm","certificate"}
//   "GetTokens"                    -> {"tokens":[{label, serial, manufacturer, model, ...}]}
//   "Authenticate" Challenge [CertificateId] [TokenSerial] [Padding]
//                                  -> {"format":"nox-auth:1","origin","certificate","algorithm","signature"}
//       signs SHA-256(origin) || SHA-256(challenge), the origin being the request's own
//   "SignBatch" CertificateId [TokenSerial] Digests DigestAlgorithm [Padding]
//                                  -> {"signatures":[...]} in order, after one dialog and one PIN
// Failures answer {"error":{"code":"<CODE>","message":"<text>"}} (AdapterKit.h).
// Nothing of the tokens is touched or told before the person allowed the page's site to use
// them (once per site while the service runs, Dialogs.h); every signature then asks for the
// PIN (or, on a PIN pad or a key without PIN, for a confirmation).
//
// Limits: a call ends within the kit's kCallBudget (140 s). Each step of work in a token's
// module is bounded (Tokens.h: 10 s, then NO_SERVICE naming the module); a dialog gets
// what is left of the budget after the steps that follow it, at most kDialogLimit.
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
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

constexpr const char* kVersion = "1.2.0.0";  // 1.2: Authenticate, SignBatch
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

// One input to sign for the certificate's key: the DigestInfo and digest for PKCS #1 v1.5,
// the digest alone for PSS and ECDSA.
std::vector<unsigned char> signingInput(const Parsed& p, bool pss, const HashInfo& hash,
                                        const std::vector<unsigned char>& digest) {
  std::vector<unsigned char> input;
  if (p.rsa && !pss) input.assign(hash.digestInfo, hash.digestInfo + sizeof hash.digestInfo);
  input.insert(input.end(), digest.begin(), digest.end());
  return input;
}

tokens::Mechanism mechanismFor(const Parsed& p, bool pss) {
  return p.ec ? tokens::Mechanism::Ecdsa : pss ? tokens::Mechanism::RsaPss : tokens::Mechanism::RsaPkcs1;
}

std::string algorithmName(const Parsed& p, bool pss, const HashInfo& hash) {
  return std::string(p.ec ? "ES" : pss ? "PS" : "RS") + hash.shortName;
}

// The Padding parameter: false with the error answer in *failed when it names none.
bool paddingParam(const HalvorantJsonMap* map, bool* pss, const char** failed) {
  const char* padding = param(map, "Padding");
  *pss = sameName(padding, "PSS");
  if (padding == nullptr || padding[0] == '\0' || *pss || sameName(padding, "PKCS1")) return true;
  *failed = error(ErrorCode::BadInput, "Padding must be PKCS1 or PSS.");
  return false;
}

// The CertificateId parameter as bytes; false when it is not a hexadecimal id.
bool certificateIdParam(const HalvorantJsonMap* map, std::vector<unsigned char>* id) {
  id->assign(128, 0);
  size_t length = 0;
  if (!adapterkit::hexToBytes(param(map, "CertificateId"), id->data(), id->size(), &length) || length == 0) return false;
  id->resize(length);
  return true;
}

const char* const kBadCertificateId = "CertificateId must be the hexadecimal id of a listed certificate.";

// The certificate a signature is made with, on the tokens present now.
struct Signer {
  Inventory inv;
  const tokens::Certificate* certificate = nullptr;  // in inv
  Parsed p;
  const tokens::Token& token() const { return inv.scan.tokens[certificate->token]; }
};

// Whether a certificate may sign a person in: a key, and the digital-signature usage.
bool signsIn(const tokens::Certificate& c, Parsed* p) {
  return c.key != tokens::KeySeen::No && parse(c.der, p) && p->hasUsage && (p->usage & GNUTLS_KEY_DIGITAL_SIGNATURE) != 0;
}

// After the site's consent (work: the time the steps after it may take), the certificate
// with id on the token serial names (any token when serial is empty); with no id, the one
// certificate that can sign a person in. Null, or the error answer.
const char* findSigner(const dialogs::Requester& who, const std::vector<unsigned char>& id, const char* serial,
                       Clock::duration work, Signer* out) {
  bool bySerial = serial != nullptr && serial[0] != '\0';
  // Which ids and serials exist is the tokens' business until the site may know it.
  dialogs::Refusal refusal;
  if (!consent(who, work, &refusal)) return fail(refusal);
  Inventory& inv = out->inv;
  tokens::Failure why;
  if (id.empty() || !lookWhereSeen(id, serial, &inv)) {
    if (!inventory(&inv, &why)) return fail(why);
    remember(inv);
  }
  const std::vector<tokens::Token>& list = inv.scan.tokens;
  const tokens::Certificate*& chosen = out->certificate;
  if (id.empty()) {
    int count = 0;
    for (const tokens::Certificate& c : inv.certificates) {
      Parsed p;
      if (!signsIn(c, &p) || (bySerial && list[c.token].serial != serial)) continue;
      ++count;
      chosen = &c;
    }
    if (count > 1)
      return error(ErrorCode::BadInput,
                   "Several certificates can sign in; give CertificateId (ListCertificates with KeyUsage "
                   "digitalSignature lists them).");
    if (count == 0) {
      if (!inv.scan.unavailable.empty()) return fail(inv.scan.unavailable[0]);
      if (list.empty()) return error(ErrorCode::NoToken, "No token or smart card is present.");
      return error(ErrorCode::NotFound, "No certificate on the tokens present can sign in.");
    }
  } else {
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
  }
  if (!parse(chosen->der, &out->p)) return error(ErrorCode::TokenError, "The certificate on the token cannot be read.");
  if (!out->p.rsa && !out->p.ec) return error(ErrorCode::BadInput, "The certificate's key is neither RSA nor EC.");
  return nullptr;
}

// Asks the person for the signatures (the PIN, or a confirmation where no PIN is typed
// here) with body saying what is asked, then signs every input with one login. Null with
// *signatures in order, or the error answer.
const char* signAfterAsking(const dialogs::Requester& who, const Signer& s, const std::string& body,
                            tokens::Mechanism mechanism, const HashInfo& hash,
                            std::vector<std::vector<unsigned char>> inputs,
                            std::vector<std::vector<unsigned char>>* signatures) {
  const tokens::Token& token = s.token();
  if ((token.flags & CKF_USER_PIN_LOCKED) != 0) return error(ErrorCode::PinLocked, "The PIN of the token is locked.");
  bool login = (token.flags & CKF_LOGIN_REQUIRED) != 0;
  tokens::SignRequest request{&token, s.certificate, mechanism, hash.mechanism, std::move(inputs), nullptr, login};

  bool pinPad = (token.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0;
  // The signing step after it.
  int seconds = dialogSeconds(tokens::signingLimit(request.inputs.size()) + std::chrono::seconds(5));
  const char* const refused = "The user did not allow the signature.";
  dialogs::Refusal refusal;
  char pin[kPinCapacity];
  if (!login) {
    // Still the person's decision: the key needs no PIN, so this is the only guard.
    if (!dialogs::confirm(who, nullptr, body + "Allow this signature?", refused, seconds, &refusal)) return fail(refusal);
  } else if (pinPad) {
    if (!dialogs::confirm(who, nullptr, body + "Allow, then enter the PIN on the reader's keypad.", refused, seconds,
                          &refusal))
      return fail(refusal);
  } else {
    std::string warning;
    if ((token.flags & CKF_USER_PIN_FINAL_TRY) != 0) warning = "This is the last try before the PIN is locked.";
    else if ((token.flags & CKF_USER_PIN_COUNT_LOW) != 0) warning = "Few tries are left before the PIN is locked.";
    std::string description = dialogs::describe(who, body + "Enter the PIN to allow.");
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
  tokens::Failure why;
  bool signedOk = tokens::sign(request, signatures, &why);
  wipeMemory(pin, sizeof pin);
  if (!signedOk) return fail(why);
  // A module that answered fewer signatures than asked must not pass for a whole batch.
  if (signatures->size() != request.inputs.size())
    return error(ErrorCode::TokenError, "The token did not make every signature.");
  return nullptr;
}

// "With '<subject>' on '<token>'": the certificate as a dialog names it.
std::string namedCertificate(const Signer& s) {
  return "'" + dialogs::shownText(s.p.subject) + "' on '" + dialogs::shownText(s.token().label) + "'";
}

// The steps after the consent dialog of a signing call: the scan, the PIN dialog, and a
// signing step of count signatures.
Clock::duration afterConsent(size_t count) {
  return 2 * tokens::kModuleLimit + tokens::signingLimit(count) + std::chrono::seconds(30);
}

const char* signDigest(const HalvorantJsonMap* map) {
  std::vector<unsigned char> id;
  if (!certificateIdParam(map, &id)) return error(ErrorCode::BadInput, kBadCertificateId);
  const HashInfo* hash = hashNamed(param(map, "DigestAlgorithm"));
  if (hash == nullptr) return error(ErrorCode::BadInput, "DigestAlgorithm must be SHA-256, SHA-384 or SHA-512.");
  std::vector<unsigned char> digest;
  if (!decodeBase64(param(map, "Digest"), &digest))
    return error(ErrorCode::BadInput, "Digest must be the Base64 text of the hash.");
  if (digest.size() != hash->size)
    return error(ErrorCode::BadInput, (std::string("Digest must hold ") + std::to_string(hash->size) +
                                       " bytes for " + hash->name + ".").c_str());
  bool pss = false;
  const char* failed = nullptr;
  if (!paddingParam(map, &pss, &failed)) return failed;

  const dialogs::Requester who = dialogs::requester();
  Signer s;
  if ((failed = findSigner(who, id, param(map, "TokenSerial"), afterConsent(1), &s)) != nullptr) return failed;
  if (s.p.ec && pss) return error(ErrorCode::BadInput, "PSS padding applies to RSA keys only.");
  std::vector<std::vector<unsigned char>> signatures;
  failed = signAfterAsking(who, s, "This site wants to sign with " + namedCertificate(s) + ".\n", mechanismFor(s.p, pss),
                           *hash, {signingInput(s.p, pss, *hash, digest)}, &signatures);
  if (failed != nullptr) return failed;

  std::string json = "{";
  appendMember(json, "signature", base64(signatures.at(0)));
  appendMember(json, "algorithm", algorithmName(s.p, pss, *hash));
  appendJsonString(json, "certificate");
  json += ':';
  appendJsonString(json, base64(s.certificate->der).c_str());
  json += '}';
  return answerWhole(json);
}

// ---- Signing in ------------------------------------------------------------------------

constexpr size_t kChallengeMin = 32, kChallengeMax = 128;

// The hash an EC key signs with: the one of its curve's strength.
const HashInfo& curveHash(const Parsed& p) { return p.bits <= 256 ? kHashes[0] : p.bits <= 384 ? kHashes[1] : kHashes[2]; }

std::vector<unsigned char> sha(const HashInfo& h, const void* data, size_t size) {
  gnutls_digest_algorithm_t algorithm = h.size == 32 ? GNUTLS_DIG_SHA256 : h.size == 48 ? GNUTLS_DIG_SHA384 : GNUTLS_DIG_SHA512;
  std::vector<unsigned char> out(h.size);
  if (gnutls_hash_fast(algorithm, data, size, out.data()) < 0) throw std::runtime_error("no hash");
  return out;
}

// A sign-in for the requesting page: SHA-256(origin) || SHA-256(challenge) signed with the
// certificate's key, so that the signature says which site asked. The origin is the
// request's own: a page cannot pass on another site's challenge as its own.
const char* authenticate(const HalvorantJsonMap* map) {
  const std::string origin = dialogs::origin();
  const dialogs::Requester who = dialogs::requesterOf(origin);
  if (who.opaque || origin.empty())
    return error(ErrorCode::BadInput, "Signing in needs the page's own origin; an opaque origin has none.");
  std::vector<unsigned char> challenge;
  const char* challengeText = param(map, "Challenge");
  if (!decodeBase64(challengeText, &challenge) || challenge.size() < kChallengeMin || challenge.size() > kChallengeMax)
    return error(ErrorCode::BadInput, "Challenge must be the Base64 text of 32 to 128 bytes.");
  std::vector<unsigned char> id;
  const char* idText = param(map, "CertificateId");
  if (idText != nullptr && idText[0] != '\0' && !certificateIdParam(map, &id))
    return error(ErrorCode::BadInput, kBadCertificateId);
  bool pss = false;
  const char* failed = nullptr;
  if (!paddingParam(map, &pss, &failed)) return failed;

  Signer s;
  if ((failed = findSigner(who, id, param(map, "TokenSerial"), afterConsent(1), &s)) != nullptr) return failed;
  if (s.p.ec && pss) return error(ErrorCode::BadInput, "PSS padding applies to RSA keys only.");
  std::vector<unsigned char> binding = sha(kHashes[0], origin.data(), origin.size());
  std::vector<unsigned char> challengeHash = sha(kHashes[0], challenge.data(), challenge.size());
  binding.insert(binding.end(), challengeHash.begin(), challengeHash.end());
  const HashInfo& hash = s.p.ec ? curveHash(s.p) : kHashes[0];

  const std::string& site = who.site.empty() ? who.origin : who.site;
  std::string body = "Sign in to " + site + "?\nThis site wants you to sign in with " + namedCertificate(s) + ".\n";
  std::vector<std::vector<unsigned char>> signatures;
  failed = signAfterAsking(who, s, body, mechanismFor(s.p, pss), hash,
                           {signingInput(s.p, pss, hash, sha(hash, binding.data(), binding.size()))}, &signatures);
  if (failed != nullptr) return failed;

  std::string json = "{";
  appendMember(json, "format", "nox-auth:1");
  appendMember(json, "origin", origin);
  appendMember(json, "certificate", base64(s.certificate->der));
  appendMember(json, "algorithm", algorithmName(s.p, pss, hash));
  appendJsonString(json, "signature");
  json += ':';
  appendJsonString(json, base64(signatures.at(0)));
  json += '}';
  return answerWhole(json);
}

// ---- Batches ---------------------------------------------------------------------------

constexpr size_t kBatchMax = 64;

// Many digests signed after one dialog and one PIN, with one login; all or none.
const char* signBatch(const HalvorantJsonMap* map) {
  std::vector<unsigned char> id;
  if (!certificateIdParam(map, &id)) return error(ErrorCode::BadInput, kBadCertificateId);
  const HashInfo* hash = hashNamed(param(map, "DigestAlgorithm"));
  if (hash == nullptr) return error(ErrorCode::BadInput, "DigestAlgorithm must be SHA-256, SHA-384 or SHA-512.");
  const char* text = param(map, "Digests");
  std::vector<std::vector<unsigned char>> digests;
  for (const char* at = text; at != nullptr;) {
    const char* comma = strchr(at, ',');
    std::string one = comma != nullptr ? std::string(at, comma) : std::string(at);
    at = comma != nullptr ? comma + 1 : nullptr;
    if (digests.size() == kBatchMax)
      return error(ErrorCode::BadInput, "Digests may hold at most " + std::to_string(kBatchMax) + " digests.");
    digests.emplace_back();
    if (!decodeBase64(one.c_str(), &digests.back()))
      return error(ErrorCode::BadInput, "Digests must be the comma-separated Base64 texts of the hashes.");
    if (digests.back().size() != hash->size)
      return error(ErrorCode::BadInput, "Each digest must hold " + std::to_string(hash->size) + " bytes for " +
                                            hash->name + ".");
  }
  if (digests.empty()) return error(ErrorCode::BadInput, "Digests must be the comma-separated Base64 texts of the hashes.");
  bool pss = false;
  const char* failed = nullptr;
  if (!paddingParam(map, &pss, &failed)) return failed;

  const dialogs::Requester who = dialogs::requester();
  Signer s;
  if ((failed = findSigner(who, id, param(map, "TokenSerial"), afterConsent(digests.size()), &s)) != nullptr) return failed;
  if (s.p.ec && pss) return error(ErrorCode::BadInput, "PSS padding applies to RSA keys only.");
  std::vector<std::vector<unsigned char>> inputs;
  for (const auto& digest : digests) inputs.push_back(signingInput(s.p, pss, *hash, digest));
  const std::string& site = who.site.empty() ? who.origin : who.site;
  std::string count = std::to_string(digests.size());
  std::string body = "Sign " + count + (digests.size() == 1 ? " document" : " documents") + " for " + site +
                     "?\nThis site wants to sign them with " + namedCertificate(s) + ".\n";
  std::vector<std::vector<unsigned char>> signatures;
  failed = signAfterAsking(who, s, body, mechanismFor(s.p, pss), *hash, std::move(inputs), &signatures);
  if (failed != nullptr) return failed;

  std::string json = "{\"signatures\":[";
  for (size_t i = 0; i < signatures.size(); ++i) {
    if (i > 0) json += ',';
    appendJsonString(json, base64(signatures[i]));
  }
  return answerWhole(json + "]}");
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
  if (sameName(functionName, "Authenticate")) return authenticate(map);
  if (sameName(functionName, "SignBatch")) return signBatch(map);
  return error(ErrorCode::BadInput, "unknown function");
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  return adapterkit::guarded([map, functionName] { return call(map, functionName); });
}
