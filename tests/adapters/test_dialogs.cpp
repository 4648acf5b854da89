// The PKI adapter's dialogs without the service: what the person is shown for an origin
// (site line, origin elided from the left, punycode, escaping), and the rules by site as
// an adapter keeps them for its session when no host interface is there, with the
// scripted pinentry recording every dialog.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "Dialogs.h"

namespace {

namespace fs = std::filesystem;
using adapterkit::ErrorCode;

const std::string kLongHost = "www.bank.example.com." + std::string(60, 'x') + "." + std::string(60, 'x') + "." +
                              std::string(60, 'x') + "." + std::string(20, 'y') + ".evil.test";

TEST(Dialogs, SiteLineThenTheOriginElidedFromTheLeft) {
  struct Case {
    std::string origin;
    std::string site;
    std::string shown;
  };
  const Case cases[] = {
      {"https://bank.test", "bank.test", "https://bank.test"},
      {"https://www.bank.example.co.uk:8443", "example.co.uk", "https://www.bank.example.co.uk:8443"},
      // The end that names the site stays, from the start of a label; nothing is cut at the end.
      {"https://" + kLongHost, "evil.test", "..." + std::string(20, 'y') + ".evil.test"},
      {"https://" + kLongHost + ":8443", "evil.test", "..." + std::string(20, 'y') + ".evil.test:8443"},
      {"https://" + std::string(70, 'z') + ".test", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz.test",
       "..." + std::string(56, 'z') + ".test"},  // the last label alone would not do: the end as it is
      // IDN hosts in punycode, for the site too.
      {"https://b\xc3\xbc" "cher.example", "xn--bcher-kva.example", "https://xn--bcher-kva.example"},
      {"https://shop.\xd0\xbf\xd1\x80\xd0\xb8\xd0\xbc\xd0\xb5\xd1\x80.\xd1\x80\xd1\x84:444", "xn--e1afmkfd.xn--p1ai",
       "https://shop.xn--e1afmkfd.xn--p1ai:444"},
      // Nothing that is not printable ASCII reaches the dialog as it is.
      {"https://a.test\nYour bank: bank.test", "a.test%0Ayour bank", "https://a.test%0AYour bank: bank.test"},
      {"https://a.test%0A", "a.test%250a", "https://a.test%250A"},
      {"https://\xff.test", "%FF.test", "https://%FF.test"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.origin);
    dialogs::Requester who = dialogs::requesterOf(c.origin);
    EXPECT_FALSE(who.opaque);
    EXPECT_EQ(who.site, c.site);
    EXPECT_EQ(who.origin, c.shown);
    EXPECT_LE(who.origin.size(), dialogs::kShownOriginMax);
    EXPECT_EQ(dialogs::describe(who, "Body."), c.site + "\n" + c.shown + "\n\nBody.");
  }
  EXPECT_TRUE(dialogs::requesterOf("null").opaque);
  EXPECT_EQ(dialogs::describe(dialogs::requesterOf(""), "Body."), "A page of unknown origin\n\nBody.");
}

TEST(Dialogs, TokenTextsShowControlAndDirectionCharactersAndAreCutWhole) {
  struct Case {
    std::string text;
    size_t max;
    std::string shown;
  };
  const Case cases[] = {
      {"O=Nox Tests,CN=Zo\xc3\xab", 120, "O=Nox Tests,CN=Zo\xc3\xab"},
      {"Token\nAllow? Yes", 120, "Token\\x0aAllow? Yes"},
      {"abc\xe2\x80\xaetxt.exe", 120, "abc\\u{202e}txt.exe"},  // right-to-left override
      {"a\xc2\x9b" "b", 120, "a\\x9bb"},                          // C1 control
      {"bad\xff", 120, "bad\\xff"},
      {"\xc3\xab\xc3\xab\xc3\xab", 5, "\xc3\xab\xc3\xab..."},  // cut between characters
      {std::string(200, 'a'), 120, std::string(120, 'a') + "..."},
  };
  for (const Case& c : cases) EXPECT_EQ(dialogs::shownText(c.text, c.max), c.shown) << c.text;
}

// The rules by site, kept by the adapter itself (this program exports no host interface).
class DialogRules : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_dialogs_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("NOX_PINENTRY", NOX_SCRIPTED_PINENTRY, 1);
    setenv("NOX_TEST_PINENTRY_DIR", dir_.c_str(), 1);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // The answer the next dialogs get; the record starts afresh.
  void script(const std::string& confirm) {
    std::ofstream(dir_ + "/script") << "confirm=" << confirm << "\n";
    fs::remove(dir_ + "/log");
  }
  std::string shown() {
    std::ifstream in(dir_ + "/log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // A consent question for origin: "" when allowed, else the error code's name.
  std::string ask(const std::string& origin, const char* purpose = "test.purpose") {
    dialogs::Refusal why{ErrorCode::Internal, ""};
    bool allowed = dialogs::confirm(dialogs::requesterOf(origin), purpose, "Allow this?", "Refused.", 5, &why);
    message_ = why.message;
    return allowed ? "" : adapterkit::errorCodeName(why.code);
  }

  std::string dir_;
  std::string message_;
};

TEST_F(DialogRules, RefusedTwiceStopsAskingAndBlockStopsForGood) {
  script("cancel");
  EXPECT_EQ(ask("https://evil.test"), "CONSENT_DENIED");
  EXPECT_EQ(message_, "Refused.");
  // The buttons the person had: Allow, Deny, Block this site.
  EXPECT_NE(shown().find("OK Allow\nCANCEL Deny\nNOTOK Block this site\nCONFIRM\n"), std::string::npos) << shown();
  EXPECT_EQ(ask("https://www.evil.test"), "CONSENT_DENIED");  // the same site
  script("ok");
  EXPECT_EQ(ask("https://evil.test"), "CONSENT_DENIED");
  EXPECT_NE(message_.find("10 minutes"), std::string::npos) << message_;
  EXPECT_EQ(shown(), "");  // no dialog
  EXPECT_EQ(ask("https://bank.test"), "");  // other sites are asked as before

  script("notok");
  EXPECT_EQ(ask("https://shop.test"), "CONSENT_DENIED");
  EXPECT_EQ(message_, "The user blocked this site.");
  script("ok");
  EXPECT_EQ(ask("https://shop.test", nullptr), "CONSENT_DENIED");
  EXPECT_EQ(shown(), "");
}

TEST_F(DialogRules, UnansweredDialogsAreNoRefusalAndConsentIsKeptPerPurpose) {
  script("timeout");
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ask("https://slow.test"), "USER_CANCELLED");
  EXPECT_NE(shown().find("CONFIRM"), std::string::npos);
  script("ok");
  EXPECT_EQ(ask("https://slow.test"), "");
  script("cancel");
  EXPECT_EQ(ask("https://www.slow.test"), "");  // granted for the site: no dialog
  EXPECT_EQ(shown(), "");
  EXPECT_EQ(ask("https://slow.test", "other.purpose"), "CONSENT_DENIED");  // another purpose is asked
  EXPECT_EQ(ask("https://slow.test", nullptr), "CONSENT_DENIED");          // so is every signature
  // An opaque origin is never asked about.
  script("ok");
  EXPECT_EQ(ask("null"), "CONSENT_DENIED");
  EXPECT_EQ(shown(), "");
}

}  // namespace
