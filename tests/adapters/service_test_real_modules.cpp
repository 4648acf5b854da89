// The PKI adapter with modules a desktop really has, beside the private SoftHSM2 token:
// opensc with a card it does not know (the virtual card in a private PC/SC stack), that
// card held in another program's transaction, and a smart-card service that stopped.
#include <chrono>

#include "adapters/support/PcscHold.h"
#include "adapters/support/PcscSandbox.h"
#include "adapters/support/PkiFixture.h"

namespace {

using noxtest::errorCode;
using noxtest::hash;
using noxtest::kOrigin;
using noxtest::value;
using noxtest::values;

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
