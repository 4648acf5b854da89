// Signing in and batch signing through the PKI adapter over the wire, with the private
// SoftHSM2 token and the scripted pinentry of the PKI tests. Sign-in tokens are checked
// as a relying party would: with openssl alone (clients/verify/verify-token.sh).
#include <gnutls/crypto.h>

#include <cstdlib>

#include "adapters/support/PkiFixture.h"

namespace {

using noxtest::base64Decode;
using noxtest::base64Encode;
using noxtest::errorCode;
using noxtest::kOrigin;
using noxtest::Pki;
using noxtest::readFile;
using noxtest::value;
using noxtest::values;
namespace fs = std::filesystem;

std::string randomBytes(size_t size) {
  std::string out(size, '\0');
  gnutls_rnd(GNUTLS_RND_NONCE, &out[0], size);
  return out;
}

size_t occurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Whether openssl finds the token's signature binds origin and challenge to its certificate.
bool opensslVerifies(const std::string& origin, const std::string& challenge, const std::string& certificate,
                     const std::string& algorithm, const std::string& signature) {
  std::string command = "sh " NOX_VERIFY_DIR "/verify-token.sh '" + origin + "' '" + challenge + "' '" + certificate +
                        "' '" + algorithm + "' '" + signature + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// The PKI fixture under names of its own.
class SignIn : public Pki {};
class Batch : public Pki {};

// Whether the Node verifier accepts the token for origin and challenge.
bool nodeVerifies(const std::string& token, const std::string& origin, const std::string& challenge) {
  std::string command = "printf '%s' '" + token + "' | " NOX_NODE " " NOX_VERIFY_DIR
                        "/bin/nox-verify-token.mjs --origin '" + origin + "' --challenge '" + challenge + "' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

std::string authJson(const std::string& challenge, const std::string& more = "") {
  return "\"Challenge\":\"" + challenge + "\"" + (more.empty() ? "" : "," + more);
}

TEST_F(SignIn, TokensBindTheOriginAndChallengeToTheKey) {
  // A P-384 key too: EC tokens sign with their curve's hash.
  for (const auto& token : fs::directory_iterator(std::string(NOX_PKI_TOKEN_DIR) + "/private-tokens"))
    fs::copy(token.path(), tokenDir() + "/" + token.path().filename().string(), fs::copy_options::recursive);
  listed();
  const std::string other = base64Encode(readFile(std::string(NOX_PKI_TOKEN_DIR) + "/other.der"));
  struct Case {
    const char* id;
    const char* padding;
    const char* algorithm;
    const char* certificate;
    const char* subject;
    const char* token;
  };
  const Case cases[] = {
      {"0e", "", "RS256", "/rsa.der", "O=Nox Tests,CN=Nox Test RSA", "Nox Test Token"},
      {"0e", "PSS", "PS256", "/rsa.der", "O=Nox Tests,CN=Nox Test RSA", "Nox Test Token"},
      {"0f", "", "ES256", "/ec.der", "O=Nox Tests,CN=Nox Test EC", "Nox Test Token"},
      {"21", "", "ES384", "/p384.der", "CN=Nox Private EC", "Nox Private Keys"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algorithm);
    script("ok", "1234");
    std::string challenge = base64Encode(randomBytes(32));
    std::string more = std::string("\"CertificateId\":\"") + c.id + "\"" +
                       (c.padding[0] != '\0' ? std::string(",\"Padding\":\"") + c.padding + "\"" : "");
    std::string token = call("Authenticate", authJson(challenge, more));
    EXPECT_EQ(token.rfind("{\"format\":\"nox-auth:1\",\"origin\":\"https://bank.test\",\"certificate\":\"", 0), 0u)
        << token;
    EXPECT_EQ(value(token, "algorithm"), c.algorithm) << token;
    std::string certificate = value(token, "certificate");
    EXPECT_EQ(base64Decode(certificate), readFile(std::string(NOX_PKI_TOKEN_DIR) + c.certificate));
    std::string signature = value(token, "signature");
    EXPECT_TRUE(opensslVerifies(kOrigin, challenge, certificate, c.algorithm, signature));
    // Worthless to a page of another origin, for another challenge, or under another certificate.
    EXPECT_FALSE(opensslVerifies("https://evil.test", challenge, certificate, c.algorithm, signature));
    EXPECT_FALSE(opensslVerifies(kOrigin, base64Encode(randomBytes(32)), certificate, c.algorithm, signature));
    EXPECT_FALSE(opensslVerifies(kOrigin, challenge, other, c.algorithm, signature));
    EXPECT_TRUE(nodeVerifies(token, kOrigin, challenge)) << token;
    EXPECT_FALSE(nodeVerifies(token, "https://evil.test", challenge));
    // The person saw which site they sign in to, and with what.
    std::string shown = dialogLog();
    EXPECT_NE(shown.find(std::string("DESC bank.test\nhttps://bank.test\n\nSign in to bank.test?\nThis site wants you "
                                     "to sign in with '") +
                         c.subject + "' on '" + c.token + "'.\nEnter the PIN to allow."),
              std::string::npos)
        << shown;
    EXPECT_EQ(occurrences(shown, "GETPIN"), 1u) << shown;
  }
  // The origin signed is the request's own, whatever the page says it is.
  script("ok", "1234");
  std::string challenge = base64Encode(randomBytes(64));
  std::string token = call("Authenticate", authJson(challenge, "\"CertificateId\":\"0f\",\"Origin\":\"https://evil.test\""),
                           "https://shop.test");
  EXPECT_EQ(value(token, "origin"), "https://shop.test") << token;
  EXPECT_TRUE(opensslVerifies("https://shop.test", challenge, value(token, "certificate"), "ES256",
                              value(token, "signature")));
  EXPECT_NE(dialogLog().find("Sign in to shop.test?"), std::string::npos) << dialogLog();
}

TEST_F(SignIn, RefusesBadChallengesAndOpaqueOriginsWithoutADialog) {
  listed();
  struct Case {
    const char* what;
    std::string params;
    const char* origin;
  };
  const Case cases[] = {
      {"challenge of 31 bytes", authJson(base64Encode(randomBytes(31)), "\"CertificateId\":\"0e\""), kOrigin},
      {"challenge of 129 bytes", authJson(base64Encode(randomBytes(129)), "\"CertificateId\":\"0e\""), kOrigin},
      {"challenge not Base64", authJson("not*base64*at*all*but*long*enough*to*pass*a*length*check"), kOrigin},
      {"no challenge", "\"CertificateId\":\"0e\"", kOrigin},
      {"id not hex", authJson(base64Encode(randomBytes(32)), "\"CertificateId\":\"zz\""), kOrigin},
      {"unknown padding", authJson(base64Encode(randomBytes(32)), "\"Padding\":\"OAEP\""), kOrigin},
      {"opaque origin", authJson(base64Encode(randomBytes(32)), "\"CertificateId\":\"0e\""), "null"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script("ok", "1234");
    // A sandboxed frame is let in by its page's address.
    std::string answer = call("Authenticate", c.params, c.origin, false, "https://bank.test/pay.html");
    EXPECT_EQ(errorCode(answer), "BAD_INPUT") << answer;
    EXPECT_EQ(dialogLog(), "");
  }
  // Without CertificateId the one certificate that signs in is used; here two could, and
  // the page is told to choose, before any PIN is asked.
  script("ok", "1234");
  std::string answer = call("Authenticate", authJson(base64Encode(randomBytes(32))));
  EXPECT_EQ(errorCode(answer), "BAD_INPUT") << answer;
  EXPECT_NE(value(answer, "message").find("CertificateId"), std::string::npos) << answer;
  EXPECT_EQ(dialogLog(), "");
  // Refused at the PIN: the person's answer, no token.
  script("ok", "@cancel");
  EXPECT_EQ(errorCode(call("Authenticate", authJson(base64Encode(randomBytes(32)), "\"CertificateId\":\"0e\""))),
            "USER_CANCELLED");
}

}  // namespace

namespace {

std::string batchJson(const std::string& id, const std::vector<std::vector<unsigned char>>& digests,
                      const std::string& algorithm) {
  std::string list;
  for (const auto& d : digests) list += (list.empty() ? "" : ",") + base64Encode(std::string(d.begin(), d.end()));
  return "\"CertificateId\":\"" + id + "\",\"Digests\":\"" + list + "\",\"DigestAlgorithm\":\"" + algorithm + "\"";
}

std::vector<std::vector<unsigned char>> digestsOf(gnutls_digest_algorithm_t algorithm, size_t count) {
  std::vector<std::vector<unsigned char>> out;
  for (size_t i = 0; i < count; ++i) out.push_back(noxtest::hash(algorithm, "document " + std::to_string(i)));
  return out;
}

TEST_F(Batch, OneDialogAndOnePinSignEveryDocumentInOrder) {
  listed();
  struct Case {
    const char* id;
    size_t count;
    const char* certificate;
    const char* subject;
    gnutls_sign_algorithm_t verifyAs;
  };
  const Case cases[] = {
      {"0f", 3, "/ec.der", "O=Nox Tests,CN=Nox Test EC", GNUTLS_SIGN_ECDSA_SHA256},
      {"0e", 64, "/rsa.der", "O=Nox Tests,CN=Nox Test RSA", GNUTLS_SIGN_RSA_SHA256},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.count);
    script("ok", "1234");
    auto digests = digestsOf(GNUTLS_DIG_SHA256, c.count);
    std::string answer = call("SignBatch", batchJson(c.id, digests, "SHA-256"));
    ASSERT_EQ(answer.rfind("{\"signatures\":[\"", 0), 0u) << answer;
    std::string list = answer.substr(std::string("{\"signatures\":[").size());
    std::vector<std::string> signatures;
    const std::regex quoted("\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), quoted);
         it != std::sregex_iterator(); ++it)
      signatures.push_back(base64Decode((*it)[1]));
    ASSERT_EQ(signatures.size(), c.count) << answer;
    std::string certificate = readFile(std::string(NOX_PKI_TOKEN_DIR) + c.certificate);
    bool ec = c.id[1] == 'f';
    for (size_t i = 0; i < c.count; ++i)
      EXPECT_TRUE(noxtest::verifies(certificate, c.verifyAs, digests[i], signatures[i], ec)) << "signature " << i;
    std::string shown = dialogLog();
    EXPECT_NE(shown.find("DESC bank.test\nhttps://bank.test\n\nSign " + std::to_string(c.count) +
                         " documents for bank.test?\nThis site wants to sign them with '" + c.subject +
                         "' on 'Nox Test Token'.\nEnter the PIN to allow."),
              std::string::npos)
        << shown;
    EXPECT_EQ(occurrences(shown, "GETPIN"), 1u) << shown;
  }
}

TEST_F(Batch, AnyFailureAnswersTheErrorAndNoSignatures) {
  listed();
  auto three = digestsOf(GNUTLS_DIG_SHA256, 3);
  auto mixed = three;
  mixed[1] = noxtest::hash(GNUTLS_DIG_SHA384, "longer");
  struct Case {
    const char* what;
    const char* pin;
    std::string params;
    const char* code;
    bool dialog;
  };
  const Case cases[] = {
      {"65 digests", "1234", batchJson("0f", digestsOf(GNUTLS_DIG_SHA256, 65), "SHA-256"), "BAD_INPUT", false},
      {"digests of two lengths", "1234", batchJson("0f", mixed, "SHA-256"), "BAD_INPUT", false},
      {"no digests", "1234", "\"CertificateId\":\"0f\",\"DigestAlgorithm\":\"SHA-256\",\"Digests\":\"\"", "BAD_INPUT",
       false},
      {"an empty digest in the list", "1234",
       "\"CertificateId\":\"0f\",\"DigestAlgorithm\":\"SHA-256\",\"Digests\":\"" +
           base64Encode(std::string(32, 'a')) + ",,\"",
       "BAD_INPUT", false},
      {"a digest not Base64", "1234",
       "\"CertificateId\":\"0f\",\"DigestAlgorithm\":\"SHA-256\",\"Digests\":\"" +
           base64Encode(std::string(32, 'a')) + ",***\"",
       "BAD_INPUT", false},
      {"unknown certificate", "1234", batchJson("77", three, "SHA-256"), "NOT_FOUND", false},
      {"cancelled", "@cancel", batchJson("0f", three, "SHA-256"), "USER_CANCELLED", true},
      {"wrong PIN", "9999", batchJson("0e", three, "SHA-256"), "PIN_INCORRECT", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script("ok", c.pin);
    std::string answer = call("SignBatch", c.params);
    EXPECT_EQ(errorCode(answer), c.code) << answer;
    EXPECT_EQ(answer.find("signatures"), std::string::npos) << answer;
    EXPECT_EQ(dialogLog().find("GETPIN") != std::string::npos, c.dialog) << dialogLog();
  }
}

}  // namespace
