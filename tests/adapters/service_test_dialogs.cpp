// The PKI adapter's dialogs over the wire, as hostile pages would try them: what the person
// is shown for a long host, refusals and blocks remembered for the site in every session,
// nothing of the tokens told before the site's consent, one dialog at a time, and no dialog
// for a sandboxed frame. The scripted pinentry records every dialog; the token's module is
// the test module, which notes every call.
#include <future>

#include "adapters/support/PkiFixture.h"

namespace {

using noxtest::errorCode;
using noxtest::hash;
using noxtest::value;
using noxtest::values;

const std::string kLongHost = "www.bank.example.com." + std::string(60, 'x') + "." + std::string(60, 'x') + "." +
                              std::string(60, 'x') + "." + std::string(20, 'y') + ".evil.test";

class SiteDialogs : public noxtest::Pki {
 protected:
  SiteDialogs() { shim_ = true; }

  std::string sign(const std::string& id, const std::string& origin, const std::string& more = "") {
    std::string params = signJson(id, hash(GNUTLS_DIG_SHA256, "to sign"), "SHA-256") + more;
    return call("Sign", params, origin);
  }
};

TEST_F(SiteDialogs, DialogNamesTheSiteFirstThenTheOriginElidedFromTheLeft) {
  const std::string origin = "https://" + kLongHost;
  const std::string heading = "DESC evil.test\n..." + std::string(20, 'y') + ".evil.test\n\n";
  script("ok", "1234");
  EXPECT_EQ(values(call("ListCertificates", "", origin), "id"), (std::vector<std::string>{"0e", "0f"}));
  EXPECT_NE(dialogLog().find(heading + "This site wants to see the certificates"), std::string::npos) << dialogLog();
  EXPECT_EQ(dialogLog().find("www.bank"), std::string::npos) << dialogLog();
  script("ok", "1234");
  EXPECT_EQ(value(sign("0f", origin), "algorithm"), "ES256");
  EXPECT_NE(dialogLog().find(heading + "This site wants to sign with 'O=Nox Tests,CN=Nox Test EC'"), std::string::npos)
      << dialogLog();

  // A host a program sends in UTF-8 is shown as its punycode, the site too.
  script("timeout", "@cancel");
  EXPECT_EQ(errorCode(call("ListCertificates", "", "https://www.b\xc3\xbc" "cher.example")), "USER_CANCELLED");
  EXPECT_NE(dialogLog().find("DESC xn--bcher-kva.example\nhttps://www.xn--bcher-kva.example\n\n"), std::string::npos)
      << dialogLog();
}

TEST_F(SiteDialogs, RefusedSiteStopsAskingInEverySessionAndABlockLastsWhileTheServiceRuns) {
  // Two refusals from two pages of one site (two sessions) within ten minutes...
  script("cancel", "@cancel");
  EXPECT_EQ(errorCode(call("GetTokens", "", "https://evil.test")), "CONSENT_DENIED");
  EXPECT_EQ(errorCode(call("ListCertificates", "", "https://www.evil.test")), "CONSENT_DENIED");
  // ...and no page of it opens a dialog any more: every function answers at once.
  script("ok", "1234");
  for (const char* function : {"ListCertificates", "GetTokens", "Sign"}) {
    SCOPED_TRACE(function);
    std::string answer = function[0] == 'S' ? sign("0e", "https://shop.evil.test") : call(function, "", "https://shop.evil.test");
    EXPECT_EQ(errorCode(answer), "CONSENT_DENIED") << answer;
    EXPECT_NE(value(answer, "message").find("10 minutes"), std::string::npos) << answer;
  }
  EXPECT_EQ(dialogLog(), "");
  // Other sites are asked as before.
  EXPECT_EQ(values(call("ListCertificates", "", "https://bank.test"), "id"), (std::vector<std::string>{"0e", "0f"}));

  // "Block this site" on a signature of a site the person had allowed: nothing of it any
  // more, the consent given before included, in this session or another.
  shimMode("pinpad");
  script("notok", "@cancel");
  std::string blocked = sign("0f", "https://bank.test");
  EXPECT_EQ(errorCode(blocked), "CONSENT_DENIED");
  EXPECT_EQ(value(blocked, "message"), "The user blocked this site.");
  EXPECT_NE(dialogLog().find("NOTOK Block this site"), std::string::npos) << dialogLog();
  script("ok", "1234");
  EXPECT_EQ(errorCode(call("ListCertificates", "", "https://bank.test")), "CONSENT_DENIED");
  EXPECT_EQ(errorCode(call("GetTokens", "", "https://login.bank.test")), "CONSENT_DENIED");
  EXPECT_EQ(dialogLog(), "");
}

TEST_F(SiteDialogs, ConsentHoldsForTheSiteInEverySession) {
  script("ok", "@cancel");
  EXPECT_EQ(values(call("ListCertificates", "", "https://bank.test"), "id"), (std::vector<std::string>{"0e", "0f"}));
  // The session ends; a new one, and another page of the site, are not asked again.
  call("HalvorantForceRelease", "", "https://bank.test");
  sessions_.clear();
  script("cancel", "@cancel");
  EXPECT_EQ(values(call("ListCertificates", "", "https://bank.test"), "id"), (std::vector<std::string>{"0e", "0f"}));
  EXPECT_EQ(values(call("GetTokens", "", "https://login.bank.test"), "label"), std::vector<std::string>{"Nox Test Token"});
  EXPECT_EQ(dialogLog(), "");
}

TEST_F(SiteDialogs, NothingOfTheTokensBeforeTheSiteConsented) {
  const std::string page = "https://new.test";
  const std::string wrongSerial = ",\"TokenSerial\":\"0000000000000000\"";
  struct Case {
    const char* what;
    std::string function, params;
    const char* afterConsent;  // the answer's error code once the site consented ("" for none)
  };
  const Case cases[] = {
      {"listing", "ListCertificates", "", ""},
      {"tokens", "GetTokens", "", ""},
      {"an id no token holds", "Sign", signJson("77", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256"), "NOT_FOUND"},
      {"a serial no token has", "Sign", signJson("0e", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256") + wrongSerial, "NO_TOKEN"},
      {"a certificate that is there", "Sign", signJson("0e", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256"), ""},
  };
  moduleTouched();
  // Unanswered consent dialogs (no refusal that would stop the asking): all alike.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    script("timeout", "1234");
    std::string answer = call(c.function, c.params, page);
    EXPECT_EQ(errorCode(answer), "USER_CANCELLED") << answer;
    EXPECT_NE(dialogLog().find("This site wants to see the certificates"), std::string::npos) << dialogLog();
    EXPECT_EQ(dialogLog().find("GETPIN"), std::string::npos);
    EXPECT_FALSE(moduleTouched());
  }
  // Once the site consented, they answer as they always did.
  script("ok", "1234");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string answer = call(c.function, c.params, page);
    EXPECT_EQ(errorCode(answer), c.afterConsent) << answer;
    EXPECT_TRUE(moduleTouched());
  }
}

TEST_F(SiteDialogs, TwoSitesAskingAtOnceGetOneDialogAfterTheOther) {
  const std::vector<std::string> pages = {"https://one.test", "https://two.test"};
  for (const std::string& page : pages) sessions_[page + " "];  // the calls below only read the map
  script("ok", "@cancel", "delay=2\n");
  std::vector<std::future<std::string>> lists;
  for (const std::string& page : pages)
    lists.push_back(std::async(std::launch::async, [this, page] { return call("ListCertificates", "", page); }));
  for (auto& list : lists) EXPECT_EQ(values(list.get(), "id"), (std::vector<std::string>{"0e", "0f"}));
  std::string shown = dialogLog();
  EXPECT_EQ(shown.find("STACKED"), std::string::npos) << shown;
  EXPECT_NE(shown.find("DESC one.test"), std::string::npos) << shown;
  EXPECT_NE(shown.find("DESC two.test"), std::string::npos) << shown;
}

TEST_F(SiteDialogs, SandboxedFrameGetsNoDialogEvenWhereItsParentConsented) {
  script("ok", "1234");
  ASSERT_EQ(values(call("ListCertificates", "", noxtest::kOrigin), "id"), (std::vector<std::string>{"0e", "0f"}));
  moduleTouched();
  script("ok", "1234");
  for (const char* function : {"ListCertificates", "GetTokens", "Sign"}) {
    SCOPED_TRACE(function);
    std::string params = function[0] == 'S' ? signJson("0e", hash(GNUTLS_DIG_SHA256, "x"), "SHA-256") : "";
    std::string answer = call(function, params, "null", false, "https://bank.test/pay.html");
    EXPECT_EQ(errorCode(answer), "CONSENT_DENIED") << answer;
  }
  EXPECT_EQ(dialogLog(), "");
  EXPECT_FALSE(moduleTouched());
}

}  // namespace
