// The PKI adapter over the wire: a private SoftHSM2 token (RSA-2048 and EC P-256 keys with
// certificates, one certificate without key) found through p11-kit, and a scripted
// pinentry that records what the person would have been shown.
#include <algorithm>
#include <chrono>
#include <thread>

#include "adapters/support/PkiFixture.h"

namespace {

using noxtest::kOrigin;
using noxtest::Pki;
using noxtest::errorCode;
using noxtest::hash;
using noxtest::readFile;
using noxtest::signedBy;
using noxtest::value;
using noxtest::values;
using noxtest::verifies;
using noxtest::writeFile;
namespace fs = std::filesystem;

TEST_F(Pki, ListingAsksOncePerSiteAndShowsCertificatesWithKeys) {
  // Refused, or not answered: nothing about the tokens reaches the page.
  script("cancel", "@cancel");
  EXPECT_EQ(errorCode(call("ListCertificates")), "CONSENT_DENIED");
  EXPECT_NE(dialogLog().find("DESC bank.test\nhttps://bank.test\n\nThis site wants to see the certificates"),
            std::string::npos)
      << dialogLog();
  script("timeout", "@cancel");
  EXPECT_EQ(errorCode(call("GetTokens")), "USER_CANCELLED");

  script("ok", "@cancel");
  std::string list = call("ListCertificates");
  EXPECT_NE(dialogLog().find("CONFIRM"), std::string::npos);
  // Two certificates with keys; the one without key is not offered.
  EXPECT_EQ(values(list, "subject"), (std::vector<std::string>{"O=Nox Tests,CN=Nox Test RSA", "O=Nox Tests,CN=Nox Test EC"}))
      << list;
  EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"}));
  EXPECT_EQ(values(list, "token"), (std::vector<std::string>{"Nox Test Token", "Nox Test Token"}));
  EXPECT_EQ(values(list, "keyType"), (std::vector<std::string>{"RSA", "EC"}));
  EXPECT_NE(list.find("\"keyBits\":2048,\"keyUsage\":[\"digitalSignature\",\"nonRepudiation\"]"), std::string::npos) << list;
  EXPECT_NE(list.find("\"keyBits\":256,\"keyUsage\":[\"digitalSignature\"]"), std::string::npos) << list;
  EXPECT_EQ(noxtest::base64Decode(values(list, "certificate").at(0)), readFile(std::string(NOX_PKI_TOKEN_DIR) + "/rsa.der"));
  EXPECT_EQ(values(list, "tokenSerial").at(0).size(), 16u);
  EXPECT_EQ(std::regex_search(value(list, "notAfter"), std::regex("^20[0-9]{2}-[01][0-9]-[0-3][0-9]T[0-9:]{8}Z$")), true)
      << list;

  // Remembered for the site: no second dialog; the usage filter narrows the list.
  script("cancel", "@cancel");
  EXPECT_EQ(values(call("ListCertificates", "\"KeyUsage\":\"nonRepudiation\""), "id"), std::vector<std::string>{"0e"});
  std::string tokens = call("GetTokens");
  EXPECT_EQ(values(tokens, "label"), std::vector<std::string>{"Nox Test Token"}) << tokens;
  EXPECT_NE(tokens.find("\"loginRequired\":true,\"protectedAuthenticationPath\":false"), std::string::npos) << tokens;
  EXPECT_EQ(dialogLog(), "");
  EXPECT_EQ(errorCode(call("ListCertificates", "\"KeyUsage\":\"everything\"")), "BAD_INPUT");

  // Another site is asked on its own.
  EXPECT_EQ(errorCode(call("ListCertificates", "", "https://other.test")), "CONSENT_DENIED");
  EXPECT_NE(dialogLog().find("DESC other.test\nhttps://other.test\n"), std::string::npos);
}

TEST_F(Pki, SignsWithEachAlgorithmAndTheSignatureVerifiesAgainstTheCertificate) {
  std::string list = listed();
  struct Case {
    const char* id;
    const char* digestName;
    gnutls_digest_algorithm_t digest;
    const char* padding;
    const char* algorithm;
    gnutls_sign_algorithm_t verifyAs;
  };
  const Case cases[] = {
      {"0e", "SHA-256", GNUTLS_DIG_SHA256, "", "RS256", GNUTLS_SIGN_RSA_SHA256},
      {"0e", "SHA-384", GNUTLS_DIG_SHA384, "PKCS1", "RS384", GNUTLS_SIGN_RSA_SHA384},
      {"0e", "SHA-512", GNUTLS_DIG_SHA512, "", "RS512", GNUTLS_SIGN_RSA_SHA512},
      {"0e", "SHA-256", GNUTLS_DIG_SHA256, "PSS", "PS256", GNUTLS_SIGN_RSA_PSS_RSAE_SHA256},
      {"0e", "SHA-512", GNUTLS_DIG_SHA512, "pss", "PS512", GNUTLS_SIGN_RSA_PSS_RSAE_SHA512},
      {"0f", "SHA-256", GNUTLS_DIG_SHA256, "", "ES256", GNUTLS_SIGN_ECDSA_SHA256},
      {"0f", "SHA-384", GNUTLS_DIG_SHA384, "", "ES384", GNUTLS_SIGN_ECDSA_SHA384},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algorithm);
    script("ok", "1234");
    std::vector<unsigned char> digest = hash(c.digest, std::string("text to sign with ") + c.algorithm);
    std::string answer = call("Sign", signJson(c.id, digest, c.digestName, c.padding));
    EXPECT_EQ(value(answer, "algorithm"), c.algorithm) << answer;
    EXPECT_TRUE(signedBy(answer, std::string(NOX_PKI_TOKEN_DIR) + (c.id[1] == 'e' ? "/rsa.der" : "/ec.der"), c.verifyAs,
                         digest));
    // The person saw who asks, with which certificate and on which token.
    std::string shown = dialogLog();
    std::string subject = c.id[1] == 'e' ? "O=Nox Tests,CN=Nox Test RSA" : "O=Nox Tests,CN=Nox Test EC";
    EXPECT_NE(shown.find("DESC bank.test\nhttps://bank.test\n\nThis site wants to sign with '" + subject +
                         "' on 'Nox Test Token'.\nEnter the PIN to allow."),
              std::string::npos)
        << shown;
    EXPECT_NE(shown.find("GETPIN"), std::string::npos);
  }
  // On the main thread (the mode pages use for dialogs) the origin reaches the adapter too.
  script("ok", "1234");
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "main thread");
  std::string answer = call("Sign", signJson("0f", digest, "SHA-256"), kOrigin, true);
  EXPECT_EQ(value(answer, "algorithm"), "ES256") << answer;
  EXPECT_NE(dialogLog().find("DESC bank.test\nhttps://bank.test\n\nThis site wants to sign"), std::string::npos)
      << dialogLog();
}

TEST_F(Pki, RefusedSignaturesAnswerTheirCode) {
  listed();
  std::vector<unsigned char> sha256 = hash(GNUTLS_DIG_SHA256, "x");
  struct Case {
    const char* what;
    const char* pin;
    std::string params;
    const char* code;
    const char* inMessage;
  };
  const Case cases[] = {
      {"cancelled dialog", "@cancel", signJson("0e", sha256, "SHA-256"), "USER_CANCELLED", ""},
      {"unknown id", "1234", signJson("77", sha256, "SHA-256"), "NOT_FOUND", ""},
      {"certificate without key", "1234", signJson("10", sha256, "SHA-256"), "NOT_FOUND", "private key"},
      {"digest too short", "1234", signJson("0e", hash(GNUTLS_DIG_SHA1, "x"), "SHA-256"), "BAD_INPUT", "32 bytes"},
      {"digest of another length", "1234", signJson("0f", sha256, "SHA-512"), "BAD_INPUT", "64 bytes"},
      {"unknown digest", "1234", signJson("0e", sha256, "MD5"), "BAD_INPUT", ""},
      {"PSS on EC", "1234", signJson("0f", sha256, "SHA-256", "PSS"), "BAD_INPUT", ""},
      {"unknown padding", "1234", signJson("0e", sha256, "SHA-256", "OAEP"), "BAD_INPUT", ""},
      {"id not hex", "1234", signJson("zz", sha256, "SHA-256"), "BAD_INPUT", ""},
      {"digest not Base64", "1234", "\"CertificateId\":\"0e\",\"Digest\":\"***\"", "BAD_INPUT", ""},
      {"no digest", "1234", "\"CertificateId\":\"0e\"", "BAD_INPUT", ""},
      // Last: a right PIN after it would reset the token's count of wrong tries.
      {"wrong PIN", "9999", signJson("0e", sha256, "SHA-256"), "PIN_INCORRECT", "tries"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script("ok", c.pin);
    std::string answer = call("Sign", c.params);
    EXPECT_EQ(errorCode(answer), c.code) << answer;
    EXPECT_NE(value(answer, "message").find(c.inMessage), std::string::npos) << answer;
  }
  // After a wrong PIN the right one still signs, and the dialog warns about the tries left.
  script("ok", "1234");
  std::string answer = call("Sign", signJson("0e", sha256, "SHA-256"));
  EXPECT_EQ(value(answer, "algorithm"), "RS256") << answer;
  EXPECT_NE(dialogLog().find("ERROR Few tries are left"), std::string::npos) << dialogLog();
}

// A token as a key import leaves it: private keys visible only after login, certificates,
// no public keys. Its certificates are listed, and Sign finds each key after the PIN: by
// its id, or (the RSA key's certificate has another id) by the certificate's public key.
TEST_F(Pki, KeysVisibleOnlyAfterLoginAreListedAndSign) {
  for (const auto& token : fs::directory_iterator(std::string(NOX_PKI_TOKEN_DIR) + "/private-tokens"))
    fs::copy(token.path(), tokenDir() + "/" + token.path().filename().string(), fs::copy_options::recursive);
  std::string list = listed();
  std::vector<std::string> ids = values(list, "id");
  std::sort(ids.begin(), ids.end());  // the tokens come in their slots' order
  EXPECT_EQ(ids, (std::vector<std::string>{"0e", "0f", "21", "23"})) << list;
  EXPECT_NE(list.find("\"subject\":\"CN=Nox Private EC\",\"issuer\":\"CN=Nox Private EC\""), std::string::npos);
  EXPECT_NE(list.find("\"keyBits\":384,\"keyUsage\":[\"digitalSignature\"],\"hasPrivateKey\":null"), std::string::npos)
      << list;
  EXPECT_NE(list.find("\"keyBits\":2048,\"keyUsage\":[\"digitalSignature\",\"nonRepudiation\"],\"hasPrivateKey\":true"),
            std::string::npos);

  struct Case {
    const char* id;
    const char* certificate;
    gnutls_digest_algorithm_t digest;
    const char* digestName;
    gnutls_sign_algorithm_t verifyAs;
  };
  const Case cases[] = {{"21", "/p384.der", GNUTLS_DIG_SHA384, "SHA-384", GNUTLS_SIGN_ECDSA_SHA384},
                        {"23", "/prsa.der", GNUTLS_DIG_SHA256, "SHA-256", GNUTLS_SIGN_RSA_SHA256}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::vector<unsigned char> digest = hash(c.digest, std::string("private ") + c.id);
    // A wrong PIN is told as such: the key is looked for only once logged in.
    script("ok", "9999");
    EXPECT_EQ(errorCode(call("Sign", signJson(c.id, digest, c.digestName))), "PIN_INCORRECT");
    script("ok", "1234");
    std::string answer = call("Sign", signJson(c.id, digest, c.digestName));
    EXPECT_TRUE(signedBy(answer, std::string(NOX_PKI_TOKEN_DIR) + c.certificate, c.verifyAs, digest));
    EXPECT_NE(dialogLog().find("GETPIN"), std::string::npos);
  }
  // A certificate without any key on a token that shows its keys answers NOT_FOUND, after the PIN.
  script("ok", "1234");
  std::string answer = call("Sign", signJson("10", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256"));
  EXPECT_EQ(errorCode(answer), "NOT_FOUND") << answer;
  EXPECT_NE(dialogLog().find("GETPIN"), std::string::npos);
}

// A dialog program waits no longer than the dialog's limit: one that takes the time-out
// is killed a moment after it if it does not keep it, one that refuses it at the limit.
class PkiSlowDialog : public Pki {
 protected:
  PkiSlowDialog() { dialogSeconds_ = 2; }
};

TEST_F(PkiSlowDialog, DialogThatOutstaysItsLimitIsEndedAsCancelled) {
  listed();
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "slow");
  for (const char* refuse : {"settimeout=refuse\n", ""}) {
    SCOPED_TRACE(refuse);
    writeFile(dir_ + "/dialog/script", std::string("confirm=ok\npin=1234\ndelay=600\n") + refuse);
    std::error_code ignored;
    fs::remove(dir_ + "/dialog/log", ignored);
    auto start = std::chrono::steady_clock::now();
    std::string answer = call("Sign", signJson("0f", digest, "SHA-256"), kOrigin, true);
    for (int poll = 0; poll < 20 && answer == "heartbeat"; ++poll)
      answer = call("Sign", signJson("0f", digest, "SHA-256"), kOrigin, true);
    EXPECT_EQ(errorCode(answer), "USER_CANCELLED") << answer;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
    EXPECT_NE(dialogLog().find("TIMEOUT 2\n"), std::string::npos) << dialogLog();
  }
}

// Two modules show the same token: the test module and SoftHSM2 itself. When the test
// module stops answering, calls answer within its limit, name it, and list what SoftHSM2
// shows; the module is not called again in that session, and a new session tries it anew.
class PkiModules : public Pki {
 protected:
  PkiModules() {
    modules_.push_back(NOX_PKCS11_SHIM);
    moduleLimitMs_ = 1500;
  }
};

TEST_F(PkiModules, ModuleThatStopsAnsweringIsNamedAndLeftAloneWhileOthersAnswer) {
  EXPECT_EQ(values(listed(), "id"), (std::vector<std::string>{"0e", "0f", "0e", "0f"}));
  shimMode("hang");
  const std::string unavailable =
      "\"unavailable\":[{\"code\":\"NO_SERVICE\",\"message\":\"The PKCS#11 module pkcs11_shim does not answer;";
  for (bool mainThread : {false, true}) {
    SCOPED_TRACE(mainThread);
    auto start = std::chrono::steady_clock::now();
    std::string list = call("ListCertificates", "", kOrigin, mainThread);
    EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"})) << list;
    EXPECT_NE(list.find(unavailable), std::string::npos) << list;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
  // The other module still signs.
  script("ok", "1234");
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "other module");
  EXPECT_EQ(value(call("Sign", signJson("0f", digest, "SHA-256")), "algorithm"), "ES256");
  // Answering again, the module stays left alone in this session...
  shimMode("");
  EXPECT_NE(call("ListCertificates").find(unavailable), std::string::npos);
  // ...and a new session calls it again.
  script("ok", "@cancel");
  std::string fresh = call("ListCertificates", "", "https://other.test");
  EXPECT_EQ(values(fresh, "id"), (std::vector<std::string>{"0e", "0f", "0e", "0f"})) << fresh;
  EXPECT_EQ(fresh.find("unavailable"), std::string::npos);
}

// A module slow at every slot scan (one that tries each card driver on a card it does not
// know) answers from its previous scan while its fresh one runs: its certificates are still
// listed, nothing is reported unavailable, and a card taken out meanwhile simply drops out.
TEST_F(PkiModules, SlowScanningModuleAnswersFromItsPreviousScan) {
  const std::vector<std::string> both{"0e", "0f", "0e", "0f"};
  EXPECT_EQ(values(listed(), "id"), both);
  shimMode("slowScan");
  std::string list = call("ListCertificates");
  EXPECT_EQ(values(list, "id"), both) << list;
  EXPECT_EQ(list.find("unavailable"), std::string::npos) << list;
  // Taken out while slow: listed from the scan before until a scan of its own has come back,
  // and its vanished token is never reported as a failure.
  shimMode("slowRemoved");
  for (int i = 0; i < 30 && values(list, "id").size() != 2; ++i) {
    list = call("ListCertificates");
    EXPECT_EQ(list.find("unavailable"), std::string::npos) << list;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"})) << list;
}

// The same token through the one module NOX_PKCS11_MODULE names, playing a card with a
// PIN pad or a locked PIN.
class PkiCard : public Pki {
 protected:
  PkiCard() { shim_ = true; }
};

TEST_F(PkiCard, TokenRemovedBetweenListAndSignAnswersNoToken) {
  std::string list = listed();
  std::string serial = value(list, "tokenSerial");
  shimMode("removed");
  script("ok", "1234");
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "x");
  EXPECT_EQ(errorCode(call("Sign", signJson("0e", digest, "SHA-256"))), "NO_TOKEN");
  EXPECT_EQ(errorCode(call("Sign", signJson("0e", digest, "SHA-256") + ",\"TokenSerial\":\"" + serial + "\"")),
            "NO_TOKEN");
  EXPECT_EQ(dialogLog(), "");  // no PIN is asked for a token that is not there
  EXPECT_EQ(call("ListCertificates"), "{\"certificates\":[]}");
  // Put back, it is seen at once by the same session.
  shimMode("");
  EXPECT_EQ(values(call("ListCertificates"), "id"), (std::vector<std::string>{"0e", "0f"}));
}

// A module that fails to say which tokens it has is named; its tokens do not read as absent.
TEST_F(PkiCard, FailingSlotListOrTokenInformationNamesTheModule) {
  listed();
  for (const char* mode : {"slotsFail", "infoFail"}) {
    SCOPED_TRACE(mode);
    shimMode(mode);
    const std::string during = mode[0] == 's' ? "listing its slots" : "reading a token's information";
    for (const char* function : {"ListCertificates", "GetTokens"}) {
      std::string answer = call(function);
      EXPECT_EQ(errorCode(answer), "TOKEN_ERROR") << answer;
      EXPECT_EQ(value(answer, "message"), "The PKCS#11 module pkcs11_shim.so failed while " + during + " (0x30).");
    }
  }
  // Nor does the token Sign would use; no PIN is asked.
  script("ok", "1234");
  EXPECT_EQ(errorCode(call("Sign", signJson("0e", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256"))), "TOKEN_ERROR");
  EXPECT_EQ(dialogLog(), "");
}

TEST_F(PkiCard, PinPadAsksToConfirmAndNeverForThePin) {
  listed();
  shimMode("pinpad");
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "keypad");
  std::string tokens = call("GetTokens");
  EXPECT_NE(tokens.find("\"protectedAuthenticationPath\":true"), std::string::npos) << tokens;

  script("ok", "@cancel");
  std::string answer = call("Sign", signJson("0f", digest, "SHA-256"));
  EXPECT_TRUE(verifies(noxtest::base64Decode(value(answer, "certificate")), GNUTLS_SIGN_ECDSA_SHA256, digest,
                       noxtest::base64Decode(value(answer, "signature")), true))
      << answer;
  std::string shown = dialogLog();
  EXPECT_NE(shown.find("DESC bank.test\nhttps://bank.test\n\nThis site wants to sign with 'O=Nox Tests,CN=Nox Test EC' "
                       "on 'Nox Test Token'.\nAllow, then enter the PIN on the reader's keypad."),
            std::string::npos)
      << shown;
  EXPECT_NE(shown.find("OK Allow\nCANCEL Deny\nNOTOK Block this site\nCONFIRM"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("GETPIN"), std::string::npos);

  script("timeout", "@cancel");
  EXPECT_EQ(errorCode(call("Sign", signJson("0f", digest, "SHA-256"))), "USER_CANCELLED");
  script("cancel", "@cancel");
  EXPECT_EQ(errorCode(call("Sign", signJson("0f", digest, "SHA-256"))), "CONSENT_DENIED");
}

TEST_F(PkiCard, LockedPinIsReportedAndTheLastTryWarned) {
  listed();
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "locked");
  struct Case {
    const char* mode;
    const char* pin;
    const char* code;
    const char* inMessage;
    const char* shown;  // in the dialog record; "" when no dialog may open
  };
  const Case cases[] = {
      {"locked", "1234", "PIN_LOCKED", "locked", ""},
      {"lockOnLogin", "1234", "PIN_LOCKED", "locked", "GETPIN"},
      {"finalTry", "9999", "PIN_LOCKED", "now locked", "ERROR This is the last try"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    shimMode(c.mode);
    script("ok", c.pin);
    std::string answer = call("Sign", signJson("0e", digest, "SHA-256"));
    EXPECT_EQ(errorCode(answer), c.code) << answer;
    EXPECT_NE(value(answer, "message").find(c.inMessage), std::string::npos) << answer;
    if (c.shown[0] == '\0') EXPECT_EQ(dialogLog(), "");
    else EXPECT_NE(dialogLog().find(c.shown), std::string::npos) << dialogLog();
  }
  EXPECT_NE(call("GetTokens").find("\"pinLocked\":true"), std::string::npos);
}

}  // namespace
