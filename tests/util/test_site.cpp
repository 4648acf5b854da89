// Sites of origins: registrable domains through the public suffix list, and the hosts
// that are their own site.
#include <gtest/gtest.h>

#include <string>

#include "util/Site.h"

namespace {

TEST(Site, OfOrigins) {
  struct Case {
    const char* origin;
    const char* site;
  } cases[] = {
      {"https://a.b.example.co.uk", "example.co.uk"},
      {"https://example.co.uk", "example.co.uk"},
      {"https://co.uk", "co.uk"},                      // a public suffix is its own site
      {"https://bank.test:8443", "bank.test"},         // port dropped
      {"https://x.y.bank.test", "bank.test"},          // unknown suffix: the last label
      {"https://WWW.Example.COM", "example.com"},      // case ignored
      {"https://www.example.com.", "example.com"},     // trailing dot
      {"https://user:pw@www.example.com/", "example.com"},
      {"https://alice.github.io", "alice.github.io"},  // private suffix: each user a site
      {"https://xn--bcher-kva.example", "xn--bcher-kva.example"},
      {"https://shop.xn--bcher-kva.example", "xn--bcher-kva.example"},
      {"https://a.xn--p1ai", "a.xn--p1ai"},            // IDN suffix (.рф) in punycode
      {"http://127.0.0.1:8080", "127.0.0.1"},          // IP literals are their own site
      {"http://[::1]:8080", "[::1]"},
      {"http://localhost:3000", "localhost"},
      {"null", "null"},  // opaque origins: the text is its own site
      // An opaque origin's identity: a site apart from the Referer's.
      {"null:https://www.bank.test", "null:bank.test"},
      {"null:null:https://bank.test", "null:bank.test"},  // one prefix only, whatever follows
      {"", ""},
      {"file://", ""},
  };
  for (const Case& c : cases) {
    char site[kSiteSize];
    EXPECT_EQ(std::string(siteOfOrigin(c.origin, site, sizeof site)), c.site) << c.origin;
  }
  char site[kSiteSize] = "x";
  EXPECT_STREQ(siteOfOrigin(nullptr, site, sizeof site), "");
}

TEST(Site, OpaqueOriginsAreToldFromRealOnes) {
  for (const char* opaque : {"null", "null:https://bank.test"}) EXPECT_TRUE(isOpaqueOrigin(opaque)) << opaque;
  for (const char* real : {"https://bank.test", "https://null.test", "nullish://x", "", "NULL"})
    EXPECT_FALSE(isOpaqueOrigin(real)) << real;
  EXPECT_FALSE(isOpaqueOrigin(nullptr));
  EXPECT_FALSE(sameSite("null:https://bank.test", "https://bank.test"));
}

TEST(Site, CutToTheBufferAndCompared) {
  char small[8];
  EXPECT_STREQ(siteOfOrigin("https://www.example.com", small, sizeof small), "example");
  EXPECT_TRUE(sameSite("https://a.bank.test", "https://b.bank.test:444"));
  EXPECT_FALSE(sameSite("https://bank.test", "https://bank.example"));
  EXPECT_FALSE(sameSite("https://alice.github.io", "https://bob.github.io"));
}

}  // namespace
