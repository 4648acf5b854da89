// The person's decisions about sites: refusals that stop the asking for a while, blocks,
// and consents that hold, each site apart.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/SiteConsent.h"

namespace {

constexpr const char* kPurpose = "pki.certificates";

struct Step {
  int64_t at;
  const char* site;
  int decision;  // -1: only the verdict is read
  const char* purpose;
  int verdict;   // expected afterwards, for purpose
};

void play(const std::vector<Step>& steps) {
  SiteBook book;
  for (size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    int verdict = s.decision < 0 ? siteVerdict(book, s.site, s.purpose, s.at)
                                 : siteDecision(book, s.site, s.purpose, s.decision, s.at);
    EXPECT_EQ(verdict, s.verdict) << "step " << i << " at " << s.at << " for " << s.site;
  }
}

constexpr int kRead = -1;
constexpr int kAsk = HALVORANT_SITE_ASK;
constexpr int kGranted = HALVORANT_SITE_GRANTED;
constexpr int kRefused = HALVORANT_SITE_REFUSED;
constexpr int kBlocked = HALVORANT_SITE_BLOCKED;

TEST(SiteConsent, TwoRefusalsWithinTenMinutesRefuseTheSiteForTen) {
  play({
      {0, "evil.test", kRefused, kPurpose, kAsk},
      {599, "evil.test", kRefused, kPurpose, kRefused},
      {600, "bank.test", kRead, kPurpose, kAsk},  // another site is asked as before
      {1198, "evil.test", kRead, kPurpose, kRefused},
      {1199, "evil.test", kRead, kPurpose, kAsk},
      // Counting starts afresh: one refusal after the pause is not two.
      {1200, "evil.test", kRefused, kPurpose, kAsk},
  });
  // Refusals further apart than the window never add up.
  play({
      {0, "a.test", kRefused, kPurpose, kAsk},
      {600, "a.test", kRefused, kPurpose, kAsk},
      {1100, "a.test", kRefused, kPurpose, kRefused},
  });
}

TEST(SiteConsent, ConsentHoldsPerPurposeUntilARefusalOrBlock) {
  play({
      {0, "bank.test", kGranted, kPurpose, kGranted},
      {0, "bank.test", kRead, "other.purpose", kAsk},
      {0, "bank.test", kRead, nullptr, kAsk},
      {5, "bank.test", kRefused, kPurpose, kGranted},  // one refused signature
      {6, "bank.test", kRead, kPurpose, kGranted},
      {7, "bank.test", kRefused, kPurpose, kRefused},  // the second: nothing opens for a while
      {8, "bank.test", kRead, kPurpose, kRefused},
      {700, "bank.test", kRead, kPurpose, kGranted},  // afterwards the consent holds again
      {800, "bank.test", kBlocked, kPurpose, kBlocked},
      {801, "bank.test", kGranted, kPurpose, kBlocked},  // for good: nothing undoes it
      {1000000000, "bank.test", kRead, kPurpose, kBlocked},
  });
  // A consent between two refusals: the person changed their mind, counting starts afresh.
  play({
      {0, "shop.test", kRefused, kPurpose, kAsk},
      {10, "shop.test", kGranted, kPurpose, kGranted},
      {20, "shop.test", kRefused, kPurpose, kGranted},
      // Nothing is granted for no purpose, and an unknown decision changes nothing.
      {30, "shop.test", kGranted, "", kAsk},
      {30, "shop.test", 42, kPurpose, kGranted},
  });
}

TEST(SiteConsent, FullBookDropsStaleRecordsAndForgetsNothingThatHolds) {
  SiteBook book;
  for (size_t i = 0; i < kSiteBookMaxSites; ++i)
    siteDecision(book, "site" + std::to_string(i) + ".test", kPurpose, i % 2 == 0 ? HALVORANT_SITE_BLOCKED
                                                                                  : HALVORANT_SITE_REFUSED, 0);
  // Full of blocks and counting refusals: a newcomer's decision is not kept.
  EXPECT_EQ(siteDecision(book, "new.test", kPurpose, HALVORANT_SITE_GRANTED, 1), kAsk);
  // Once the refusals stopped counting, their records make room; the blocks stay.
  EXPECT_EQ(siteDecision(book, "new.test", kPurpose, HALVORANT_SITE_GRANTED, kSiteRefusalWindow), kGranted);
  EXPECT_EQ(siteVerdict(book, "site0.test", kPurpose, kSiteRefusalWindow), kBlocked);
  EXPECT_LE(book.sites.size(), kSiteBookMaxSites);
}

}  // namespace
