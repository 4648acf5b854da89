// The PKI adapter's test fixture: the service started with a private SoftHSM2 token (copied
// from the build's test token), a module registry of the test's own, a scripted pinentry
// that records what the person would have been shown, and helpers to call the adapter and
// check its signatures. Subclasses change the registered modules and the limits' seams
// in their constructors.
#pragma once
#include <gnutls/abstract.h>
#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "adapters/support/PkiToken.h"
#include "support/ServiceHarness.h"

namespace noxtest {

constexpr const char* kPkiPathId = "5B72E1C3DA5F4E8C9F16B2D3E4051627";
constexpr const char* kOrigin = "https://bank.test";

inline std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void writeFile(const std::string& path, const std::string& text) { writeTextFile(path, text); }

// Every string value of key in a JSON text, in order (the adapter's values hold no quotes).
inline std::vector<std::string> values(const std::string& json, const std::string& key) {
  std::vector<std::string> out;
  std::regex pattern("\"" + key + "\":\"([^\"]*)\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), pattern); it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

inline std::string value(const std::string& json, const std::string& key) {
  auto all = values(json, key);
  return all.empty() ? "" : all[0];
}

inline std::string errorCode(const std::string& json) {
  return json.rfind("{\"error\":{", 0) == 0 ? value(json, "code") : "";
}

inline std::vector<unsigned char> hash(gnutls_digest_algorithm_t algorithm, const std::string& text) {
  std::vector<unsigned char> out(gnutls_hash_get_len(algorithm));
  gnutls_hash_fast(algorithm, text.data(), text.size(), out.data());
  return out;
}


// Verifies a signature as the page would get it (EC as r||s) against the certificate.
inline bool verifies(const std::string& certificateDer, gnutls_sign_algorithm_t algorithm,
              const std::vector<unsigned char>& digest, const std::string& signature, bool ec) {
  gnutls_x509_crt_t crt;
  gnutls_pubkey_t key;
  gnutls_x509_crt_init(&crt);
  gnutls_pubkey_init(&key);
  gnutls_datum_t der{reinterpret_cast<unsigned char*>(const_cast<char*>(certificateDer.data())),
                     static_cast<unsigned>(certificateDer.size())};
  bool ok = gnutls_x509_crt_import(crt, &der, GNUTLS_X509_FMT_DER) >= 0 && gnutls_pubkey_import_x509(key, crt, 0) >= 0;
  gnutls_datum_t h{const_cast<unsigned char*>(digest.data()), static_cast<unsigned>(digest.size())};
  gnutls_datum_t sig{reinterpret_cast<unsigned char*>(const_cast<char*>(signature.data())),
                     static_cast<unsigned>(signature.size())};
  gnutls_datum_t encoded{nullptr, 0};
  if (ok && ec) {
    gnutls_datum_t r{sig.data, sig.size / 2};
    gnutls_datum_t s{sig.data + sig.size / 2, sig.size / 2};
    ok = sig.size % 2 == 0 && gnutls_encode_rs_value(&encoded, &r, &s) >= 0;
    sig = encoded;
  }
  ok = ok && gnutls_pubkey_verify_hash2(key, algorithm, 0, &h, &sig) >= 0;
  gnutls_free(encoded.data);
  gnutls_pubkey_deinit(key);
  gnutls_x509_crt_deinit(crt);
  return ok;
}

// A Sign answer holds the certificate in file certificateFile and a signature of digest
// that verifies against it (EC answers are r||s).
inline ::testing::AssertionResult signedBy(const std::string& answer, const std::string& certificateFile,
                                           gnutls_sign_algorithm_t verifyAs, const std::vector<unsigned char>& digest) {
  std::string certificate = base64Decode(value(answer, "certificate"));
  if (certificate != readFile(certificateFile))
    return ::testing::AssertionFailure() << "not the certificate of " << certificateFile << ": " << answer;
  bool ec = gnutls_sign_get_pk_algorithm(verifyAs) == GNUTLS_PK_ECDSA;
  if (!verifies(certificate, verifyAs, digest, base64Decode(value(answer, "signature")), ec))
    return ::testing::AssertionFailure() << "the signature does not verify: " << answer;
  return ::testing::AssertionSuccess();
}

class Pki : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_pki_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    std::string why;
    ASSERT_TRUE(preparePkiToken(dir_, &why)) << why;
    // A module registry of the test's own (modules_), whatever the machine registered.
    fs::create_directories(dir_ + "/p11kit/modules");
    writeFile(dir_ + "/p11kit/pkcs11.conf", "user-config: none\n");
    for (const std::string& module : modules_) {
      std::string name = fs::path(module).stem().string();
      writeFile(dir_ + "/p11kit/modules/" + name + ".module", "module: " + module + "\n");
    }
    setenv("NOX_TEST_P11KIT_DIR", (dir_ + "/p11kit").c_str(), 1);
    if (shim_) setenv("NOX_PKCS11_MODULE", NOX_PKCS11_SHIM, 1);
    else unsetenv("NOX_PKCS11_MODULE");
    // Seams for the limits: a module's answer, a dialog's wait.
    if (moduleLimitMs_ > 0) setenv("NOX_TEST_MODULE_LIMIT_MS", std::to_string(moduleLimitMs_).c_str(), 1);
    else unsetenv("NOX_TEST_MODULE_LIMIT_MS");
    if (dialogSeconds_ > 0) setenv("NOX_TEST_DIALOG_SECONDS", std::to_string(dialogSeconds_).c_str(), 1);
    else unsetenv("NOX_TEST_DIALOG_SECONDS");
    // Under ThreadSanitizer: races inside the modules' own libraries are not the service's.
    const char* tsan = getenv("TSAN_OPTIONS");
    if (tsan != nullptr && strstr(tsan, "suppressions=") == nullptr)
      setenv("TSAN_OPTIONS", (std::string(tsan) + ":suppressions=" NOX_MODULE_RACES).c_str(), 1);
    ASSERT_TRUE(service_.start()) << service_.output();
    ASSERT_TRUE(service_.waitFor("NoxHalvorant initialization: Success", 60)) << service_.output();
  }

  void TearDown() override {
    shimMode("");  // a module held in the hang mode goes on, so the service can stop
    EXPECT_EQ(service_.stop(), 0) << service_.output();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  // The dialog's answers for the next requests, and a fresh record of what it showed.
  void script(const std::string& confirm, const std::string& pin, const std::string& more = "") {
    writeFile(dir_ + "/dialog/script", "confirm=" + confirm + "\npin=" + pin + "\n" + more);
    std::error_code ignored;
    fs::remove(dir_ + "/dialog/log", ignored);
    fs::remove(dir_ + "/dialog/open", ignored);  // left by a dialog program that was killed
  }
  std::string dialogLog() { return readFile(dir_ + "/dialog/log"); }

  // One adapter call from origin (and referer) in the session kept for that page; answers
  // the adapter's result text.
  std::string call(const std::string& function, const std::string& params = "", const std::string& origin = kOrigin,
                   bool mainThread = false, const std::string& referer = "") {
    std::string& session = sessions_[origin + " " + referer];
    std::string json = "{\"PathID\":\"" + std::string(kPkiPathId) + "\",\"minServerVersion\":\"1.0.0.0\"," +
                       "\"FunctionName\":\"" + function + "\"" + (session.empty() ? "" : ",\"SessionId\":\"" + session + "\"") +
                       (mainThread ? ",\"MainThread\":true" : "") + (params.empty() ? "" : "," + params) + "}";
    noxtest::Answer a = noxtest::postForm(noxtest::kPorts[0], "", origin, referer, json);
    auto answer = noxtest::decodeAnswer(a.body);
    if (answer.count("SessionID") != 0) session = answer["SessionID"];
    return answer["result"];
  }

  std::string listed() {
    script("ok", "@cancel");
    std::string list = call("ListCertificates");
    EXPECT_EQ(list.rfind("{\"certificates\":[", 0), 0u) << list;
    return list;
  }

  std::string signJson(const std::string& id, const std::vector<unsigned char>& digest, const std::string& algorithm,
                       const std::string& padding = "") {
    std::string b64 = noxtest::base64Encode(std::string(digest.begin(), digest.end()));
    return "\"CertificateId\":\"" + id + "\",\"Digest\":\"" + b64 + "\",\"DigestAlgorithm\":\"" + algorithm + "\"" +
           (padding.empty() ? "" : ",\"Padding\":\"" + padding + "\"");
  }

  std::string tokenDir() { return dir_ + "/token/tokens"; }
  void shimMode(const std::string& mode) { writeFile(dir_ + "/shim", mode + "\n"); }
  // Whether the test module (the shim) was called since the last look.
  bool moduleTouched() {
    std::error_code ignored;
    bool touched = fs::exists(dir_ + "/shim.calls");
    fs::remove(dir_ + "/shim.calls", ignored);
    return touched;
  }

  bool shim_ = false;  // the token through the test module that plays PIN pads and locked PINs
  std::vector<std::string> modules_{"/usr/lib/softhsm/libsofthsm2.so"};  // registered for the test
  long moduleLimitMs_ = 0;
  int dialogSeconds_ = 0;
  std::string dir_;
  noxtest::Service service_;
  std::map<std::string, std::string> sessions_;
};

}  // namespace noxtest
