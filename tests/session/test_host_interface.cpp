// The host interface adapters look up: the origin of the request in progress (an opaque
// one only as "null"), the person's decisions kept by site for every session, and the one
// dialog turn.
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "HalvorantAdapter.h"
#include "session/HostInterface.h"

namespace {

TEST(HostInterface, AnswersNothingOutsideACall) {
  EXPECT_EQ(HalvorantHost_Origin(), nullptr);
  EXPECT_EQ(HalvorantHost_SiteVerdict("p"), -1);
  EXPECT_EQ(HalvorantHost_SiteDecision("p", HALVORANT_SITE_BLOCKED), -1);
  EXPECT_EQ(HalvorantHost_DialogTurn(0), -1);
  HalvorantHost_DialogDone();  // nothing held: nothing happens
}

TEST(HostInterface, DecisionsHoldForTheSiteInEveryCallAndNeverForAnOpaqueOrigin) {
  {
    HalvorantHostOriginScope call("https://www.bank.test");
    EXPECT_STREQ(HalvorantHost_Origin(), "https://www.bank.test");
    EXPECT_EQ(HalvorantHost_SiteVerdict("p"), HALVORANT_SITE_ASK);
    EXPECT_EQ(HalvorantHost_SiteDecision("p", HALVORANT_SITE_GRANTED), HALVORANT_SITE_GRANTED);
  }
  {
    // Another page of the site, in another session: the consent holds.
    HalvorantHostOriginScope call("https://login.bank.test");
    EXPECT_EQ(HalvorantHost_SiteVerdict("p"), HALVORANT_SITE_GRANTED);
  }
  {
    HalvorantHostOriginScope call("https://evil.test");
    EXPECT_EQ(HalvorantHost_SiteVerdict("p"), HALVORANT_SITE_ASK);
  }
  {
    // A sandboxed frame of the bank's page: not the bank, and nothing it says is kept.
    HalvorantHostOriginScope call("null:https://www.bank.test");
    EXPECT_STREQ(HalvorantHost_Origin(), "null");
    EXPECT_EQ(HalvorantHost_SiteVerdict("p"), HALVORANT_SITE_BLOCKED);
    EXPECT_EQ(HalvorantHost_SiteDecision("p", HALVORANT_SITE_REFUSED), HALVORANT_SITE_BLOCKED);
    EXPECT_EQ(HalvorantHost_SiteDecision("p", HALVORANT_SITE_REFUSED), HALVORANT_SITE_BLOCKED);
  }
  HalvorantHostOriginScope call("https://bank.test");
  EXPECT_EQ(HalvorantHost_SiteVerdict("p"), HALVORANT_SITE_GRANTED);
}

TEST(HostInterface, OneDialogTurnAtATime) {
  HalvorantHostOriginScope call("https://a.test");
  ASSERT_EQ(HalvorantHost_DialogTurn(0), 1);
  EXPECT_EQ(HalvorantHost_DialogTurn(0), 1);  // held already by this thread
  auto other = [](int waitMs) {
    return std::async(std::launch::async, [waitMs] {
      HalvorantHostOriginScope elsewhere("https://b.test");
      int taken = HalvorantHost_DialogTurn(waitMs);
      HalvorantHost_DialogDone();  // gives it back if taken, else nothing
      return taken;
    });
  };
  EXPECT_EQ(other(50).get(), 0);
  auto waiting = other(60000);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  HalvorantHost_DialogDone();
  EXPECT_EQ(waiting.get(), 1);  // taken as soon as it was given back
  EXPECT_EQ(HalvorantHost_DialogTurn(0), 1);
  HalvorantHost_DialogDone();
}

}  // namespace
