// The user's CA and localhost certificate, made and checked with GnuTLS.
#include "front/KeyIssue.h"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstring>

#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

// The GnuTLS objects of one step, released (keys cleared by GnuTLS) when it ends.
struct Key {
  gnutls_x509_privkey_t k = nullptr;
  Key() { gnutls_x509_privkey_init(&k); }
  ~Key() {
    if (k) gnutls_x509_privkey_deinit(k);
  }
  bool generate() {
    return k != nullptr && gnutls_x509_privkey_generate(k, GNUTLS_PK_ECDSA,
                                                        GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP256R1), 0) >= 0;
  }
  bool import(const char* pem) {
    gnutls_datum_t d = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem)), static_cast<unsigned>(strlen(pem))};
    return k != nullptr && gnutls_x509_privkey_import(k, &d, GNUTLS_X509_FMT_PEM) >= 0;
  }
};

struct Cert {
  gnutls_x509_crt_t c = nullptr;
  Cert() { gnutls_x509_crt_init(&c); }
  ~Cert() {
    if (c) gnutls_x509_crt_deinit(c);
  }
  bool import(const char* pem) {
    gnutls_datum_t d = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem)), static_cast<unsigned>(strlen(pem))};
    return c != nullptr && gnutls_x509_crt_import(c, &d, GNUTLS_X509_FMT_PEM) >= 0;
  }
};

// A GnuTLS export as a newMemSize text; the export itself is wiped.
char* takeText(gnutls_datum_t* d) {
  char* text = static_cast<char*>(newMemSize(static_cast<uint64_t>(d->size) + 1));
  if (text != nullptr) memcpy(text, d->data, d->size);
  gnutls_memset(d->data, 0, d->size);
  gnutls_free(d->data);
  d->data = nullptr;
  return text;
}

bool exportPair(const Cert& crt, const Key& key, IssuedPair* out) {
  gnutls_datum_t c = {nullptr, 0}, k = {nullptr, 0};
  if (gnutls_x509_crt_export2(crt.c, GNUTLS_X509_FMT_PEM, &c) < 0) return false;
  out->certificate = takeText(&c);
  if (gnutls_x509_privkey_export2_pkcs8(key.k, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &k) < 0) {
    releasePair(out);
    return false;
  }
  out->key = takeText(&k);
  if (out->certificate == nullptr || out->key == nullptr) {
    releasePair(out);
    return false;
  }
  return true;
}

bool setCommon(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key, time_t from, time_t until) {
  unsigned char serial[16];
  unsigned char id[64];
  size_t idSize = sizeof id;
  if (gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial) < 0) return false;
  serial[0] &= 0x7F;  // positive
  serial[0] |= 0x01;  // and without a leading zero byte
  return gnutls_x509_crt_set_version(crt, 3) >= 0 && gnutls_x509_crt_set_serial(crt, serial, sizeof serial) >= 0 &&
         gnutls_x509_crt_set_activation_time(crt, from) >= 0 && gnutls_x509_crt_set_expiration_time(crt, until) >= 0 &&
         gnutls_x509_crt_set_key(crt, key) >= 0 &&
         gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA1, id, &idSize) >= 0 &&
         gnutls_x509_crt_set_subject_key_id(crt, id, idSize) >= 0;
}

bool setName(gnutls_x509_crt_t crt, const char* oid, const char* value) {
  return gnutls_x509_crt_set_dn_by_oid(crt, oid, 0, value, static_cast<unsigned>(strlen(value))) >= 0;
}

// Permits only the names the service answers to, so the CA cannot vouch for any other site.
bool constrainNames(gnutls_x509_crt_t ca) {
  gnutls_x509_name_constraints_t nc = nullptr;
  if (gnutls_x509_name_constraints_init(&nc) < 0) return false;
  unsigned char dns[] = "localhost";
  unsigned char v4[8] = {127, 0, 0, 1, 255, 255, 255, 255};
  unsigned char v6[32] = {0};
  v6[15] = 1;
  memset(v6 + 16, 0xFF, 16);
  gnutls_datum_t d1 = {dns, 9}, d2 = {v4, sizeof v4}, d3 = {v6, sizeof v6};
  int rc = gnutls_x509_name_constraints_add_permitted(nc, GNUTLS_SAN_DNSNAME, &d1);
  if (rc >= 0) rc = gnutls_x509_name_constraints_add_permitted(nc, GNUTLS_SAN_IPADDRESS, &d2);
  if (rc >= 0) rc = gnutls_x509_name_constraints_add_permitted(nc, GNUTLS_SAN_IPADDRESS, &d3);
  if (rc >= 0) rc = gnutls_x509_crt_set_name_constraints(ca, nc, 1);
  gnutls_x509_name_constraints_deinit(nc);
  return rc >= 0;
}

}  // namespace

void releasePair(IssuedPair* pair) {
  if (pair == nullptr) return;
  freeMem(pair->certificate);
  freeTextWiped(pair->key);
  pair->certificate = nullptr;
  pair->key = nullptr;
}

bool issueCa(time_t now, IssuedPair* out, const char** why) {
  Key key;
  Cert ca;
  char name[64];
  struct tm utc;
  gmtime_r(&now, &utc);
  strftime(name, sizeof name, "NoxHalvorant Local CA %Y%m%d%H%M%S", &utc);
  if (!key.generate()) {
    *why = "no P-256 key could be made";
    return false;
  }
  if (ca.c == nullptr || !setCommon(ca.c, key.k, now, now + kCaDays * kDaySeconds) ||
      !setName(ca.c, GNUTLS_OID_X520_ORGANIZATION_NAME, "NoxHalvorant") ||
      !setName(ca.c, GNUTLS_OID_X520_COMMON_NAME, name) || gnutls_x509_crt_set_basic_constraints(ca.c, 1, 0) < 0 ||
      gnutls_x509_crt_set_key_usage(ca.c, GNUTLS_KEY_KEY_CERT_SIGN | GNUTLS_KEY_CRL_SIGN) < 0 ||
      !constrainNames(ca.c) || gnutls_x509_crt_sign2(ca.c, ca.c, key.k, GNUTLS_DIG_SHA256, 0) < 0) {
    *why = "the CA certificate could not be made";
    return false;
  }
  if (!exportPair(ca, key, out)) {
    *why = "the CA could not be written out";
    return false;
  }
  return true;
}

bool issueLeaf(const IssuedPair& caPair, time_t now, IssuedPair* out, const char** why) {
  Cert ca, leaf;
  Key caKey, key;
  if (caPair.certificate == nullptr || caPair.key == nullptr || !ca.import(caPair.certificate) ||
      !caKey.import(caPair.key) || !keyMatches(caPair.certificate, caPair.key)) {
    *why = "the CA or its key cannot be read";
    return false;
  }
  if (!key.generate()) {
    *why = "no P-256 key could be made";
    return false;
  }
  time_t until = now + kLeafDays * kDaySeconds;
  time_t caUntil = gnutls_x509_crt_get_expiration_time(ca.c);
  if (caUntil != static_cast<time_t>(-1) && caUntil < until) until = caUntil;
  const unsigned char loopback[4] = {127, 0, 0, 1};
  unsigned char id[64];
  size_t idSize = sizeof id;
  if (leaf.c == nullptr || !setCommon(leaf.c, key.k, now, until) ||
      !setName(leaf.c, GNUTLS_OID_X520_COMMON_NAME, "localhost") ||
      gnutls_x509_crt_set_subject_alt_name(leaf.c, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_SET) < 0 ||
      gnutls_x509_crt_set_subject_alt_name(leaf.c, GNUTLS_SAN_IPADDRESS, loopback, 4, GNUTLS_FSAN_APPEND) < 0 ||
      gnutls_x509_crt_set_basic_constraints(leaf.c, 0, -1) < 0 ||
      gnutls_x509_crt_set_key_usage(leaf.c, GNUTLS_KEY_DIGITAL_SIGNATURE) < 0 ||
      gnutls_x509_crt_set_key_purpose_oid(leaf.c, GNUTLS_KP_TLS_WWW_SERVER, 1) < 0 ||
      gnutls_x509_crt_set_key_purpose_oid(leaf.c, GNUTLS_KP_TLS_WWW_CLIENT, 1) < 0 ||
      gnutls_x509_crt_get_subject_key_id(ca.c, id, &idSize, nullptr) < 0 ||
      gnutls_x509_crt_set_authority_key_id(leaf.c, id, idSize) < 0 ||
      gnutls_x509_crt_sign2(leaf.c, ca.c, caKey.k, GNUTLS_DIG_SHA256, 0) < 0) {
    *why = "the localhost certificate could not be made";
    return false;
  }
  if (!exportPair(leaf, key, out)) {
    *why = "the localhost certificate could not be written out";
    return false;
  }
  return true;
}

bool certificateFacts(const char* certificate, time_t* notAfter, bool* isCa) {
  Cert crt;
  if (certificate == nullptr || !crt.import(certificate)) return false;
  time_t until = gnutls_x509_crt_get_expiration_time(crt.c);
  if (until == static_cast<time_t>(-1)) return false;
  if (notAfter != nullptr) *notAfter = until;
  if (isCa != nullptr) {
    unsigned critical = 0;
    *isCa = gnutls_x509_crt_get_basic_constraints(crt.c, &critical, nullptr, nullptr) > 0;
  }
  return true;
}

bool keyMatches(const char* certificate, const char* keyText) {
  Cert crt;
  Key key;
  if (certificate == nullptr || keyText == nullptr || !crt.import(certificate) || !key.import(keyText)) return false;
  unsigned char a[64], b[64];
  size_t aSize = sizeof a, bSize = sizeof b;
  return gnutls_x509_crt_get_key_id(crt.c, GNUTLS_KEYID_USE_SHA256, a, &aSize) >= 0 &&
         gnutls_x509_privkey_get_key_id(key.k, GNUTLS_KEYID_USE_SHA256, b, &bSize) >= 0 && aSize == bSize &&
         memcmp(a, b, aSize) == 0;
}

bool signedBy(const char* leafText, const char* caText) {
  Cert leaf, ca;
  if (leafText == nullptr || caText == nullptr || !leaf.import(leafText) || !ca.import(caText)) return false;
  unsigned status = ~0u;
  return gnutls_x509_crt_check_issuer(leaf.c, ca.c) == 1 &&
         gnutls_x509_crt_verify(leaf.c, &ca.c, 1, GNUTLS_VERIFY_DISABLE_TIME_CHECKS, &status) >= 0 && status == 0;
}
