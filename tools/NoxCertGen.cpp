// Build tool: issues a fresh private CA and the service's localhost certificate, then writes
//   argv[1]  a C++ source with the leaf certificate PEM, the leaf key encrypted in the
//            service's AES-256-CBC text form, its IV and one XOR share of the hex key text;
//   argv[2]  a C++ source with the other XOR share (a separate translation unit);
//   argv[3]  the CA certificate PEM, for users and tests to trust.
// The CA key lives only in this process: it signs the leaf once and is destroyed.
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "crypto/AES.h"
#include "util/Tool.h"

namespace {

constexpr time_t kValidSeconds = 825L * 24 * 3600;  // longest lifetime clients accept for TLS leaves

// True when a GnuTLS call succeeded; otherwise says which step failed.
bool check(int code, const char* what) {
  if (code >= 0) return true;
  fprintf(stderr, "NoxCertGen: %s: %s\n", what, gnutls_strerror(code));
  return false;
}

struct Datum {
  gnutls_datum_t d = {nullptr, 0};
  ~Datum() {
    if (d.data) {
      gnutls_memset(d.data, 0, d.size);
      gnutls_free(d.data);
    }
  }
  std::string text() const { return std::string(reinterpret_cast<const char*>(d.data), d.size); }
};

struct Key {
  gnutls_x509_privkey_t k = nullptr;
  bool ok = false;
  Key() {
    ok = check(gnutls_x509_privkey_init(&k), "key init") &&
         check(gnutls_x509_privkey_generate(k, GNUTLS_PK_ECDSA, GNUTLS_CURVE_TO_BITS(GNUTLS_ECC_CURVE_SECP384R1), 0),
               "P-384 key");
  }
  ~Key() {
    if (k) gnutls_x509_privkey_deinit(k);  // clears the key material
  }
};

struct Cert {
  gnutls_x509_crt_t c = nullptr;
  bool ok = false;
  Cert() { ok = check(gnutls_x509_crt_init(&c), "certificate init"); }
  ~Cert() {
    if (c) gnutls_x509_crt_deinit(c);
  }
};

bool setCommon(gnutls_x509_crt_t crt, gnutls_x509_privkey_t key, time_t now) {
  unsigned char serial[16];
  unsigned char id[64];
  size_t idSize = sizeof id;
  if (!check(gnutls_rnd(GNUTLS_RND_NONCE, serial, sizeof serial), "serial")) return false;
  serial[0] &= 0x7F;  // positive
  serial[0] |= 0x01;  // and without a leading zero byte
  return check(gnutls_x509_crt_set_version(crt, 3), "version") &&
         check(gnutls_x509_crt_set_serial(crt, serial, sizeof serial), "serial") &&
         check(gnutls_x509_crt_set_activation_time(crt, now), "activation") &&
         check(gnutls_x509_crt_set_expiration_time(crt, now + kValidSeconds), "expiration") &&
         check(gnutls_x509_crt_set_key(crt, key), "public key") &&
         check(gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA1, id, &idSize), "key id") &&
         check(gnutls_x509_crt_set_subject_key_id(crt, id, idSize), "subject key id");
}

bool setName(gnutls_x509_crt_t crt, const char* oid, const std::string& value) {
  return check(gnutls_x509_crt_set_dn_by_oid(crt, oid, 0, value.data(), static_cast<unsigned>(value.size())), oid);
}

// Permits only the names the service answers to, so the CA cannot vouch for any other site.
bool constrainNames(gnutls_x509_crt_t ca) {
  gnutls_x509_name_constraints_t nc = nullptr;
  if (!check(gnutls_x509_name_constraints_init(&nc), "name constraints")) return false;
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
  return check(rc, "name constraints");
}

bool pem(gnutls_x509_crt_t crt, std::string* text) {
  Datum out;
  if (!check(gnutls_x509_crt_export2(crt, GNUTLS_X509_FMT_PEM, &out.d), "export certificate")) return false;
  *text = out.text();
  return true;
}

bool issueCa(const Key& key, const Cert& ca, time_t now) {
  char stamp[32];
  strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", gmtime(&now));
  return setCommon(ca.c, key.k, now) && setName(ca.c, GNUTLS_OID_X520_ORGANIZATION_NAME, "NoxHalvorant") &&
         setName(ca.c, GNUTLS_OID_X520_COMMON_NAME, std::string("NoxHalvorant Local CA ") + stamp) &&
         check(gnutls_x509_crt_set_basic_constraints(ca.c, 1, 0), "CA basic constraints") &&
         check(gnutls_x509_crt_set_key_usage(ca.c, GNUTLS_KEY_KEY_CERT_SIGN | GNUTLS_KEY_CRL_SIGN), "CA key usage") &&
         constrainNames(ca.c) && check(gnutls_x509_crt_sign2(ca.c, ca.c, key.k, GNUTLS_DIG_SHA256, 0), "CA signature");
}

bool issueLeaf(const Key& key, const Cert& leaf, const Key& caKey, const Cert& ca, time_t now) {
  const unsigned char loopback[4] = {127, 0, 0, 1};
  unsigned char id[64];
  size_t idSize = sizeof id;
  return setCommon(leaf.c, key.k, now) && setName(leaf.c, GNUTLS_OID_X520_COMMON_NAME, "localhost") &&
         check(gnutls_x509_crt_set_subject_alt_name(leaf.c, GNUTLS_SAN_DNSNAME, "localhost", 9, GNUTLS_FSAN_SET),
               "DNS name") &&
         check(gnutls_x509_crt_set_subject_alt_name(leaf.c, GNUTLS_SAN_IPADDRESS, loopback, 4, GNUTLS_FSAN_APPEND),
               "IP address") &&
         check(gnutls_x509_crt_set_basic_constraints(leaf.c, 0, -1), "leaf basic constraints") &&
         check(gnutls_x509_crt_set_key_usage(leaf.c, GNUTLS_KEY_DIGITAL_SIGNATURE), "leaf key usage") &&
         check(gnutls_x509_crt_set_key_purpose_oid(leaf.c, GNUTLS_KP_TLS_WWW_SERVER, 1), "server purpose") &&
         check(gnutls_x509_crt_set_key_purpose_oid(leaf.c, GNUTLS_KP_TLS_WWW_CLIENT, 1), "client purpose") &&
         check(gnutls_x509_crt_get_subject_key_id(ca.c, id, &idSize, nullptr), "CA key id") &&
         check(gnutls_x509_crt_set_authority_key_id(leaf.c, id, idSize), "authority key id") &&
         check(gnutls_x509_crt_sign2(leaf.c, ca.c, caKey.k, GNUTLS_DIG_SHA256, 0), "leaf signature");
}

// Issues CA and leaf: the CA PEM, the leaf PEM and the leaf key PEM (PKCS #8).
bool issue(std::string* caPem, std::string* leafPem, std::string* leafKeyPem) {
  time_t now = time(nullptr);
  Key caKey, leafKey;
  Cert ca, leaf;
  Datum key;
  if (!caKey.ok || !leafKey.ok || !ca.ok || !leaf.ok) return false;
  if (!issueCa(caKey, ca, now) || !issueLeaf(leafKey, leaf, caKey, ca, now)) return false;
  if (!check(gnutls_x509_privkey_export2_pkcs8(leafKey.k, GNUTLS_X509_FMT_PEM, nullptr, GNUTLS_PKCS_PLAIN, &key.d),
             "export key"))
    return false;
  *leafKeyPem = key.text();
  return pem(ca.c, caPem) && pem(leaf.c, leafPem);
}

std::string cString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n\"\n    \"";
    } else {
      out += c;  // PEM holds only Base64 characters, dashes and spaces
    }
  }
  out += "\"";
  return out;
}

std::string bytes(const unsigned char* data, size_t size) {
  std::string out = "{";
  char item[16];
  for (size_t i = 0; i < size; ++i) {
    snprintf(item, sizeof item, "%s0x%02x", i % 12 == 0 ? "\n    " : " ", data[i]);
    out += item;
    if (i + 1 < size) out += ",";
  }
  return out + "}";
}

bool writeFile(const std::string& path, const std::string& text) {
  std::string temporary = path + ".tmp";
  FILE* f = fopen(temporary.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(text.data(), 1, text.size(), f) == text.size();
  ok = (fclose(f) == 0) && ok;
  return ok && rename(temporary.c_str(), path.c_str()) == 0;
}

const char kHeader[] =
    "// Generated at build time by NoxCertGen; never committed.\n"
    "#include \"front/KeyData.h\"\n\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s CREDENTIAL.cpp SHARE.cpp CA.pem\n", argv[0]);
    return 2;
  }
  std::string caPem, leafPem, leafKeyPem;
  if (!issue(&caPem, &leafPem, &leafKeyPem)) return 1;

  unsigned char aesKey[32], iv[16], shareA[64], shareB[64];
  if (gnutls_rnd(GNUTLS_RND_KEY, aesKey, sizeof aesKey) < 0 || gnutls_rnd(GNUTLS_RND_NONCE, iv, sizeof iv) < 0 ||
      gnutls_rnd(GNUTLS_RND_RANDOM, shareA, sizeof shareA) < 0) {
    fprintf(stderr, "NoxCertGen: no random bytes\n");
    return 1;
  }
  char* hex = HexEncode(aesKey, sizeof aesKey);
  uint64_t cipherLength = 0;
  unsigned char* cipher = AES256_Encrypt_CBC(leafKeyPem.c_str(), aesKey, iv, &cipherLength);
  if (hex == nullptr || strlen(hex) != sizeof shareB || cipher == nullptr) {
    fprintf(stderr, "NoxCertGen: key encryption failed\n");
    return 1;
  }
  for (size_t i = 0; i < sizeof shareB; ++i) shareB[i] = static_cast<unsigned char>(hex[i]) ^ shareA[i];
  gnutls_memset(hex, 0, sizeof shareB);
  gnutls_memset(aesKey, 0, sizeof aesKey);
  gnutls_memset(&leafKeyPem[0], 0, leafKeyPem.size());
  freeMem(hex);

  std::string credential = kHeader;
  credential += "extern const char kNoxCertPem[] =\n    " + cString(leafPem) + ";\n\n";
  credential += "extern const unsigned char kNoxKeyCipher[] = " + bytes(cipher, cipherLength) + ";\n";
  credential += "extern const uint64_t kNoxKeyCipherLength = " + std::to_string(cipherLength) + ";\n\n";
  credential += "extern const unsigned char kNoxKeyIv[16] = " + bytes(iv, sizeof iv) + ";\n\n";
  credential += "extern const unsigned char kNoxKeyShareA[64] = " + bytes(shareA, sizeof shareA) + ";\n";
  std::string share = kHeader;
  share += "extern const unsigned char kNoxKeyShareB[64] = " + bytes(shareB, sizeof shareB) + ";\n";
  freeMem(cipher);

  if (!writeFile(argv[1], credential) || !writeFile(argv[2], share) || !writeFile(argv[3], caPem)) {
    fprintf(stderr, "NoxCertGen: cannot write the outputs\n");
    return 1;
  }
  return 0;
}
