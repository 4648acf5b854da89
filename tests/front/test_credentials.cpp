// This user's CA and localhost certificate: what they are, where and how they are kept,
// renewal, and the files that are refused.
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "front/Key.h"
#include "platform/Wipe.h"
#include "support/OtherUser.h"
#include "util/Tool.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Crt {
  gnutls_x509_crt_t c = nullptr;
  explicit Crt(const std::string& pem) {
    gnutls_x509_crt_init(&c);
    gnutls_datum_t d = {reinterpret_cast<unsigned char*>(const_cast<char*>(pem.data())),
                        static_cast<unsigned>(pem.size())};
    ok = gnutls_x509_crt_import(c, &d, GNUTLS_X509_FMT_PEM) >= 0;
  }
  ~Crt() { gnutls_x509_crt_deinit(c); }
  bool ok = false;
};

std::vector<unsigned char> keyId(gnutls_x509_crt_t crt) {
  unsigned char id[64];
  size_t size = sizeof id;
  if (gnutls_x509_crt_get_key_id(crt, GNUTLS_KEYID_USE_SHA256, id, &size) < 0) return {};
  return std::vector<unsigned char>(id, id + size);
}

void expectP256(gnutls_x509_crt_t crt) {
  gnutls_ecc_curve_t curve = GNUTLS_ECC_CURVE_INVALID;
  EXPECT_EQ(gnutls_x509_crt_get_pk_algorithm(crt, nullptr), GNUTLS_PK_ECDSA);
  ASSERT_GE(gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, nullptr, nullptr), 0);
  EXPECT_EQ(curve, GNUTLS_ECC_CURVE_SECP256R1);
}

std::vector<std::string> g_notes;
void collect(CredentialNote kind, const char* label, const char* text) {
  const char* kinds[] = {"normal", "warning", "error"};
  g_notes.push_back(std::string(kinds[static_cast<int>(kind)]) + ": " + label + text);
}

// A fresh data directory below a private temporary home for every test.
class Credentials : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_credentials_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home_ = pattern;
    dir_ = home_ + "/data/noxhalvorant";
    g_notes.clear();
  }
  void TearDown() override {
    discardCredentials();
    std::error_code ignored;
    fs::remove_all(home_, ignored);
  }

  // prepareCredentials at now; the leaf and its key as handed over.
  bool prepare(time_t now = time(nullptr)) {
    g_notes.clear();
    bool ok = prepareCredentials(dir_.c_str(), now, collect, &expiry_);
    char* cert = getCert();
    char* key = getKey();
    leaf_ = cert != nullptr ? cert : "";
    key_ = key != nullptr ? key : "";
    freeMem(cert);
    freeTextWiped(key);
    EXPECT_EQ(ok, !leaf_.empty() && !key_.empty());
    return ok;
  }
  std::string file(const char* name) const { return readFile(dir_ + "/" + name); }
  std::string notes() const {
    std::string all;
    for (const std::string& n : g_notes) all += n + "\n";
    return all;
  }
  mode_t mode(const std::string& name) const {
    struct stat st;
    return lstat((dir_ + "/" + name).c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  std::string home_, dir_, leaf_, key_;
  time_t expiry_ = 0;
};

TEST_F(Credentials, FirstStartMakesAConstrainedCaAndALocalhostLeaf) {
  ASSERT_TRUE(prepare()) << notes();
  EXPECT_EQ(g_notes.size(), 1u) << notes();
  EXPECT_NE(notes().find("normal: Credentials: first start: making this user's CA and localhost certificate in " + dir_),
            std::string::npos)
      << notes();
  EXPECT_EQ(leaf_, file(kLeafFileName));
  EXPECT_EQ(key_, file(kLeafKeyFileName));

  Crt leaf(leaf_);
  ASSERT_TRUE(leaf.ok);
  EXPECT_EQ(gnutls_x509_crt_get_version(leaf.c), 3);
  expectP256(leaf.c);
  EXPECT_EQ(gnutls_x509_crt_get_signature_algorithm(leaf.c), GNUTLS_SIGN_ECDSA_SHA256);
  char cn[64];
  size_t size = sizeof cn;
  ASSERT_GE(gnutls_x509_crt_get_dn_by_oid(leaf.c, GNUTLS_OID_X520_COMMON_NAME, 0, 0, cn, &size), 0);
  EXPECT_STREQ(cn, "localhost");
  // Exactly DNS localhost and IP 127.0.0.1.
  std::vector<std::string> names;
  for (unsigned i = 0;; ++i) {
    char name[64];
    size_t length = sizeof name;
    int type = gnutls_x509_crt_get_subject_alt_name(leaf.c, i, name, &length, nullptr);
    if (type < 0) break;
    names.push_back(type == GNUTLS_SAN_IPADDRESS ? "IP " + std::to_string(length) + ":" +
                                                       std::to_string(static_cast<unsigned char>(name[0]))
                                                 : "DNS " + std::string(name, length));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"DNS localhost", "IP 4:127"}));
  unsigned critical = 0;
  EXPECT_EQ(gnutls_x509_crt_get_basic_constraints(leaf.c, &critical, nullptr, nullptr), 0);  // CA false
  unsigned usage = 0;
  ASSERT_GE(gnutls_x509_crt_get_key_usage(leaf.c, &usage, nullptr), 0);
  EXPECT_EQ(usage, static_cast<unsigned>(GNUTLS_KEY_DIGITAL_SIGNATURE));
  std::vector<std::string> purposes;
  for (unsigned i = 0;; ++i) {
    char oid[128];
    size_t length = sizeof oid;
    unsigned purposeCritical = 0;
    if (gnutls_x509_crt_get_key_purpose_oid(leaf.c, i, oid, &length, &purposeCritical) < 0) break;
    EXPECT_EQ(purposeCritical, 1u) << oid;
    purposes.push_back(oid);
  }
  EXPECT_EQ(purposes, (std::vector<std::string>{GNUTLS_KP_TLS_WWW_SERVER, GNUTLS_KP_TLS_WWW_CLIENT}));
  time_t from = gnutls_x509_crt_get_activation_time(leaf.c);
  EXPECT_EQ(expiry_, gnutls_x509_crt_get_expiration_time(leaf.c));
  EXPECT_LE(from, time(nullptr));
  EXPECT_LE(expiry_ - from, 825L * 24 * 3600);
  EXPECT_GT(expiry_ - from, 800L * 24 * 3600);

  // The CA: P-256, a CA, name-constrained to the three names the service answers to.
  Crt ca(file(kCaFileName));
  ASSERT_TRUE(ca.ok);
  expectP256(ca.c);
  EXPECT_GT(gnutls_x509_crt_get_basic_constraints(ca.c, &critical, nullptr, nullptr), 0);
  gnutls_x509_name_constraints_t nc = nullptr;
  ASSERT_GE(gnutls_x509_name_constraints_init(&nc), 0);
  ASSERT_GE(gnutls_x509_crt_get_name_constraints(ca.c, nc, 0, &critical), 0);
  EXPECT_EQ(critical, 1u);
  std::vector<std::string> permitted;
  for (unsigned i = 0;; ++i) {
    unsigned type = 0;
    gnutls_datum_t name;
    if (gnutls_x509_name_constraints_get_permitted(nc, i, &type, &name) < 0) break;
    permitted.push_back(std::to_string(type) + ":" + std::to_string(name.size) + ":" +
                        (type == GNUTLS_SAN_DNSNAME ? std::string(reinterpret_cast<char*>(name.data), name.size)
                                                    : std::to_string(name.data[0]) + "/" +
                                                          std::to_string(name.data[name.size / 2 - 1])));
  }
  gnutls_x509_name_constraints_deinit(nc);
  const std::string dns = std::to_string(GNUTLS_SAN_DNSNAME), ip = std::to_string(GNUTLS_SAN_IPADDRESS);
  EXPECT_EQ(permitted, (std::vector<std::string>{dns + ":9:localhost", ip + ":8:127/1", ip + ":32:0/1"}));

  // The leaf chains to the CA, for localhost only, and its key is the handed-over one.
  gnutls_x509_trust_list_t trust = nullptr;
  ASSERT_GE(gnutls_x509_trust_list_init(&trust, 0), 0);
  gnutls_x509_crt_t anchor = nullptr;
  gnutls_x509_crt_init(&anchor);
  std::string caText = file(kCaFileName);
  gnutls_datum_t caDatum = {reinterpret_cast<unsigned char*>(&caText[0]), static_cast<unsigned>(caText.size())};
  ASSERT_GE(gnutls_x509_crt_import(anchor, &caDatum, GNUTLS_X509_FMT_PEM), 0);
  ASSERT_EQ(gnutls_x509_trust_list_add_cas(trust, &anchor, 1, 0), 1);  // the list owns anchor now
  for (const auto& c : {std::make_pair("localhost", true), std::make_pair("127.0.0.1", true),
                        std::make_pair("example.test", false)}) {
    unsigned status = ~0u;
    gnutls_typed_vdata_st checks[2] = {
        {GNUTLS_DT_DNS_HOSTNAME, reinterpret_cast<unsigned char*>(const_cast<char*>(c.first)), 0},
        {GNUTLS_DT_KEY_PURPOSE_OID, reinterpret_cast<unsigned char*>(const_cast<char*>(GNUTLS_KP_TLS_WWW_SERVER)), 0}};
    ASSERT_GE(gnutls_x509_trust_list_verify_crt2(trust, &leaf.c, 1, checks, 2, 0, &status, nullptr), 0);
    EXPECT_EQ(status == 0, c.second) << c.first << " status " << status;
  }
  gnutls_x509_trust_list_deinit(trust, 1);

  gnutls_x509_privkey_t privkey = nullptr;
  gnutls_x509_privkey_init(&privkey);
  gnutls_datum_t d = {reinterpret_cast<unsigned char*>(&key_[0]), static_cast<unsigned>(key_.size())};
  ASSERT_GE(gnutls_x509_privkey_import(privkey, &d, GNUTLS_X509_FMT_PEM), 0);
  unsigned char id[64];
  size = sizeof id;
  ASSERT_GE(gnutls_x509_privkey_get_key_id(privkey, GNUTLS_KEYID_USE_SHA256, id, &size), 0);
  gnutls_x509_privkey_deinit(privkey);
  EXPECT_EQ(keyId(leaf.c), std::vector<unsigned char>(id, id + size));
}

TEST_F(Credentials, KeptPrivateStableAcrossStartsAndOwnPerUser) {
  ASSERT_TRUE(prepare()) << notes();
  const std::string ca = file(kCaFileName), leaf = leaf_, key = key_;
  struct stat st;
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(mode(kCaKeyFileName), 0600u);
  EXPECT_EQ(mode(kLeafKeyFileName), 0600u);
  EXPECT_EQ(mode(kCaFileName), 0644u);
  EXPECT_EQ(mode(kLeafFileName), 0644u);

  // A later start loads what is there and says nothing about it.
  ASSERT_TRUE(prepare()) << notes();
  EXPECT_EQ(notes(), "");
  EXPECT_EQ(leaf_, leaf);
  EXPECT_EQ(key_, key);
  EXPECT_EQ(file(kCaFileName), ca);

  // Another user's directory holds another CA, key and leaf.
  dir_ = home_ + "/other/noxhalvorant";
  ASSERT_TRUE(prepare()) << notes();
  EXPECT_NE(file(kCaFileName), ca);
  EXPECT_NE(file(kCaKeyFileName), readFile(home_ + "/data/noxhalvorant/" + kCaKeyFileName));
  EXPECT_NE(leaf_, leaf);
  EXPECT_NE(key_, key);
}

TEST_F(Credentials, LeafRenewedNearItsEndOrWhenItNoLongerFits) {
  const time_t now = time(nullptr);
  ASSERT_TRUE(prepare(now));
  const std::string ca = file(kCaFileName), firstLeaf = leaf_;
  const time_t firstExpiry = expiry_;

  // 31 days before the end nothing changes; 30 days before, the CA issues a new leaf.
  ASSERT_TRUE(prepare(firstExpiry - 31 * 86400));
  EXPECT_EQ(leaf_, firstLeaf);
  ASSERT_TRUE(prepare(firstExpiry - 30 * 86400));
  EXPECT_NE(notes().find("normal: Credentials: a new localhost certificate is issued: it expires in 30 days"),
            std::string::npos)
      << notes();
  EXPECT_NE(leaf_, firstLeaf);
  EXPECT_GT(expiry_, firstExpiry);
  EXPECT_EQ(file(kCaFileName), ca);

  // A leaf whose key went missing or was swapped is issued again by the same CA.
  ASSERT_EQ(unlink((dir_ + "/" + kLeafKeyFileName).c_str()), 0);
  ASSERT_TRUE(prepare(now));
  EXPECT_NE(notes().find("it is missing"), std::string::npos) << notes();
  EXPECT_EQ(file(kCaFileName), ca);
  fs::copy_file(dir_ + "/" + kCaKeyFileName, dir_ + "/" + kLeafKeyFileName, fs::copy_options::overwrite_existing);
  ASSERT_TRUE(prepare(now));
  EXPECT_NE(notes().find("it does not match its key"), std::string::npos) << notes();
  EXPECT_EQ(file(kCaFileName), ca);
  const std::string keptLeaf = leaf_;

  // Without the CA key no leaf can be issued: a new CA is made, and must be trusted again.
  ASSERT_EQ(unlink((dir_ + "/" + kCaKeyFileName).c_str()), 0);
  ASSERT_TRUE(prepare(now));
  EXPECT_EQ(leaf_, keptLeaf) << "a valid leaf needs no CA key";
  ASSERT_TRUE(prepare(expiry_ - 86400));
  EXPECT_NE(notes().find("warning: Credentials: a new CA is made (the CA key is missing); browsers trust it only "
                         "after: noxhalvorant --trust"),
            std::string::npos)
      << notes();
  EXPECT_NE(file(kCaFileName), ca);
  EXPECT_EQ(mode(kCaKeyFileName), 0600u);
}

TEST_F(Credentials, OpenDirectoryIsMadePrivate) {
  ASSERT_TRUE(prepare());
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  ASSERT_TRUE(prepare());
  EXPECT_NE(notes().find("warning: Credentials: " + dir_ + " was open to other users (mode 0755): now 0700"),
            std::string::npos)
      << notes();
  struct stat st;
  ASSERT_EQ(stat(dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

// A file that is a link, not the user's, or open to others is refused, never used and
// never replaced; the start fails with a line that names it and says what to do.
TEST_F(Credentials, RefusedFiles) {
  struct Case {
    const char* name;
    const char* file;  // in the data directory; "" for the directory itself
    const char* change;
    const char* said;
  };
  const Case cases[] = {
      {"leaf key readable by the group", kLeafKeyFileName, "mode 0640", "can be read by other users (mode 0640)"},
      {"CA key readable by all", kCaKeyFileName, "mode 0644", "can be read by other users (mode 0644)"},
      {"leaf key a link", kLeafKeyFileName, "link", "is a link"},
      {"CA key a link", kCaKeyFileName, "link", "is a link"},
      {"leaf key of another user", kLeafKeyFileName, "owner", "belongs to user "},
      {"CA certificate writable by others", kCaFileName, "mode 0666", "can be written by other users (mode 0666)"},
      {"leaf certificate a link", kLeafFileName, "link", "is a link"},
      {"directory a link", "", "link", "is a link or not a directory"},
      {"directory of another user", "", "owner", "belongs to user "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ignored;
    fs::remove_all(home_ + "/data", ignored);
    ASSERT_TRUE(prepare());
    const std::string path = c.file[0] == '\0' ? dir_ : dir_ + "/" + c.file;
    const std::string change = c.change;
    if (change == "link") {
      ASSERT_EQ(rename(path.c_str(), (path + ".real").c_str()), 0);
      ASSERT_EQ(symlink((path + ".real").c_str(), path.c_str()), 0);
    } else if (change == "owner") {
      if (path == dir_) {  // emptied first, so that its removal needs no rights inside it
        for (const auto& entry : fs::directory_iterator(dir_)) fs::remove(entry.path());
      }
      std::string why = noxtest::chownToOtherUser(path);
      ASSERT_EQ(why, "");
    } else {
      ASSERT_EQ(chmod(path.c_str(), static_cast<mode_t>(std::stoi(change.substr(5), nullptr, 8))), 0);
    }
    const std::string before = c.file[0] == '\0' ? "" : readFile(path);
    EXPECT_FALSE(prepare());
    EXPECT_NE(notes().find("error: Credentials: " + path + " " + c.said), std::string::npos) << notes();
    if (c.file[0] != '\0') {
      EXPECT_NE(notes().find("refused, never used. Remove it: the next start makes a new"), std::string::npos)
          << notes();
    }
    if (c.file[0] != '\0') {
      EXPECT_EQ(readFile(path), before) << "a refused file stays as it was";
    }
    // Refused by a read-only look too (--version).
    time_t expiry = 0;
    if (strcmp(c.file, kLeafFileName) == 0 || c.file[0] == '\0') {
      EXPECT_FALSE(readCertificateExpiry(dir_.c_str(), &expiry));
    }
  }
}

TEST_F(Credentials, ExpiryReadWithoutMakingAnything) {
  time_t expiry = 0;
  EXPECT_FALSE(readCertificateExpiry(dir_.c_str(), &expiry));
  EXPECT_FALSE(fs::exists(dir_));
  ASSERT_TRUE(prepare());
  ASSERT_TRUE(readCertificateExpiry(dir_.c_str(), &expiry));
  EXPECT_EQ(expiry, expiry_);
}

TEST(CredentialsBuild, ExecutableHoldsNoCredential) {
  std::string binary = readFile(NOX_SERVICE_BINARY);
  ASSERT_GT(binary.size(), 100000u);
  EXPECT_EQ(binary.find("-----BEGIN CERTIFICATE-----"), std::string::npos);
  EXPECT_EQ(binary.find("PRIVATE KEY"), std::string::npos);
  EXPECT_NE(binary.find("Destroy key"), std::string::npos);  // the scan sees text at all
}

}  // namespace
