// The PKI adapter with modules a desktop really has, beside the private SoftHSM2 token:
// tpm2-pkcs11 over a software TPM; opensc with a card it does not know (the virtual card in
// a private PC/SC stack), that card held in another program's transaction, and a
// smart-card service that stopped.
#include <algorithm>
#include <chrono>

#include "adapters/support/PcscHold.h"
#include "adapters/support/PcscSandbox.h"
#include "adapters/support/PkiFixture.h"
#include "adapters/support/TpmSandbox.h"

namespace {

using noxtest::errorCode;
using noxtest::hash;
using noxtest::kOrigin;
using noxtest::signedBy;
using noxtest::value;
using noxtest::values;

// tpm2-pkcs11 beside SoftHSM2: the TPM's sandbox starts before the service, which
// inherits what reaches it.
class PkiTpm : public noxtest::Pki {
 protected:
  PkiTpm() { modules_.push_back(noxtest::kTpmModule); }
  void SetUp() override {
    ASSERT_TRUE(tpm_.start()) << tpm_.error();
    for (const std::string& entry : tpm_.environment()) {
      size_t equals = entry.find('=');
      setenv(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str(), 1);
    }
    // Under AddressSanitizer: tpm2-pkcs11's own leaks are not the service's.
    setenv("LSAN_OPTIONS", "suppressions=" NOX_TPM_LEAKS ":print_suppressions=0", 1);
    Pki::SetUp();
  }

  noxtest::TpmSandbox tpm_;
};

TEST_F(PkiTpm, TpmKeysListAndSignWithEachAlgorithm) {
  std::string list = listed();
  std::vector<std::string> subjects = values(list, "subject");
  std::sort(subjects.begin(), subjects.end());
  EXPECT_EQ(subjects, (std::vector<std::string>{"CN=Nox TPM P-256", "CN=Nox TPM P-384", "CN=Nox TPM RSA",
                                                "O=Nox Tests,CN=Nox Test EC", "O=Nox Tests,CN=Nox Test RSA"}))
      << list;
  EXPECT_NE(list.find("\"token\":\"Nox TPM\""), std::string::npos);
  EXPECT_EQ(list.find("unavailable"), std::string::npos) << list;

  struct Case {
    const char* id;
    gnutls_digest_algorithm_t digest;
    const char* digestName;
    const char* padding;
    const char* algorithm;
    gnutls_sign_algorithm_t verifyAs;
  };
  const Case cases[] = {
      {"01", GNUTLS_DIG_SHA256, "SHA-256", "", "RS256", GNUTLS_SIGN_RSA_SHA256},
      {"01", GNUTLS_DIG_SHA256, "SHA-256", "PSS", "PS256", GNUTLS_SIGN_RSA_PSS_RSAE_SHA256},
      {"02", GNUTLS_DIG_SHA256, "SHA-256", "", "ES256", GNUTLS_SIGN_ECDSA_SHA256},
      {"03", GNUTLS_DIG_SHA384, "SHA-384", "", "ES384", GNUTLS_SIGN_ECDSA_SHA384},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.algorithm);
    script("ok", "1234");
    std::vector<unsigned char> digest = hash(c.digest, std::string("TPM ") + c.algorithm);
    std::string answer = call("Sign", signJson(c.id, digest, c.digestName, c.padding));
    EXPECT_EQ(value(answer, "algorithm"), c.algorithm) << answer;
    EXPECT_TRUE(signedBy(answer, tpm_.dir() + "/" + c.id + ".der", c.verifyAs, digest));
  }
  script("ok", "0000");
  EXPECT_EQ(errorCode(call("Sign", signJson("02", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256"))), "PIN_INCORRECT");
}

// opensc beside SoftHSM2, and the PC/SC stack (started before the service, which inherits
// its socket) with the virtual card in the reader.
class PkiOpensc : public noxtest::Pki {
 protected:
  PkiOpensc() { modules_.push_back("/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"); }
  void SetUp() override {
    ASSERT_TRUE(pcsc_.start()) << pcsc_.error();
    ASSERT_TRUE(pcsc_.insert()) << pcsc_.error();
    Pki::SetUp();
  }
  void TearDown() override {
    holder_.release();
    pcsc_.thawDaemon();
    Pki::TearDown();
  }

  // ListCertificates within a generous bound of the module limit (10 s), whatever opensc waits for.
  std::string listWithin(const std::string& origin) {
    auto start = std::chrono::steady_clock::now();
    std::string list = call("ListCertificates", "", origin, true);
    for (int poll = 0; poll < 10 && list == "heartbeat"; ++poll) list = call("ListCertificates", "", origin, true);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(40)) << list;
    return list;
  }

  noxtest::PcscSandbox pcsc_;
  noxtest::CardHolder holder_;
};

// Each part starts a new session (another origin), since a module that did not answer is
// left alone for the rest of its session.
TEST_F(PkiOpensc, UnknownCardBusyCardAndStoppedServiceLeaveTheOtherTokenUsable) {
  // The card opensc does not know gives no token and no failure; SoftHSM2's keys list and sign.
  std::string list = listed();
  EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"})) << list;
  EXPECT_EQ(list.find("unavailable"), std::string::npos) << list;
  script("ok", "1234");
  std::vector<unsigned char> digest = hash(GNUTLS_DIG_SHA256, "beside opensc");
  EXPECT_EQ(value(call("Sign", signJson("0f", digest, "SHA-256")), "algorithm"), "ES256");

  const std::string openscSilent =
      "{\"code\":\"NO_SERVICE\",\"message\":\"The PKCS#11 module opensc-pkcs11 does not answer;";
  // The card held in another program's transaction: opensc waits for it, the call does not.
  ASSERT_TRUE(holder_.hold(noxtest::kVirtualReader)) << holder_.error();
  script("ok", "@cancel");
  list = listWithin("https://busy.test");
  EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"})) << list;
  EXPECT_NE(list.find(openscSilent), std::string::npos) << list;
  holder_.release();

  // The smart-card service stopped (it keeps its socket and answers nothing).
  ASSERT_TRUE(pcsc_.freezeDaemon());
  script("ok", "@cancel");
  list = listWithin("https://stopped.test");
  EXPECT_EQ(values(list, "id"), (std::vector<std::string>{"0e", "0f"})) << list;
  EXPECT_NE(list.find(openscSilent), std::string::npos) << list;
  // Signing with the other token's key still works in that session.
  script("ok", "1234");
  std::string signature = call("Sign", signJson("0e", digest, "SHA-256"), "https://stopped.test");
  EXPECT_EQ(value(signature, "algorithm"), "RS256") << signature;
  ASSERT_TRUE(pcsc_.thawDaemon());
}

}  // namespace
