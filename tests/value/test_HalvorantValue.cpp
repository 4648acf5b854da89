// Value store: entry choice, refusals, expiry and renewal on a fixed clock, wiping.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "util/Tool.h"
#include "value/HalvorantValue.h"

namespace {

constexpr time_t kT = 1800000000;  // the fixed "now" every test starts from
time_t g_now = kT;
time_t fixedClock() { return g_now; }

const char* const kNull = "<null>";
const char* const kWriter = "https://writer.test";

class ValueStore : public testing::Test {
 protected:
  void SetUp() override {
    g_now = kT;
    setHalvorantClock(&fixedClock);
    HalvorantValue_init();
  }
  void TearDown() override {
    HalvorantValue_Final();
    setHalvorantClock(nullptr);
    setSecureRandomDevice(nullptr);
  }

  static std::string get(const char* channel, const char* origin) {
    char* text = HalvorantValue_get_value(channel, origin);
    std::string out = text != nullptr ? text : kNull;
    freeMem(text);
    return out;
  }
  // Runs a read and keeps its console output.
  static std::string getLogged(const char* channel, const char* origin, std::string* console) {
    testing::internal::CaptureStdout();
    std::string out = get(channel, origin);
    *console = testing::internal::GetCapturedStdout();
    return out;
  }
  static int setLogged(const char* channel, const char* list, int timeout, const char* value,
                       std::string* console, const char* origin = kWriter) {
    testing::internal::CaptureStdout();
    int code = HalvorantValue_set_value(channel, list, timeout, value, origin);
    *console = testing::internal::GetCapturedStdout();
    return code;
  }
  static int findChannel(const char* channel) {
    for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i)
      if (value_list[i].channel != nullptr && strcmp(value_list[i].channel, channel) == 0) return i;
    return -1;
  }
  static int freeEntries() {
    int count = 0;
    for (const HalvorantValueEntry& e : value_list) count += e.channel == nullptr ? 1 : 0;
    return count;
  }
  // One writing origin per entry: an origin holds at most four live channels.
  static std::string writer(int i) { return "https://w" + std::to_string(i) + ".test"; }
  static void fill(int timeout) {
    for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) {
      std::string channel = "ch" + std::to_string(i);
      ASSERT_EQ(HalvorantValue_set_value(channel.c_str(), "*", timeout, "v", writer(i).c_str()), 0);
    }
  }
};

#define EXPECT_LOGGED(console, text) \
  EXPECT_NE((console).find(text), std::string::npos) << "missing \"" << (text) << "\" in:\n" << (console)

TEST_F(ValueStore, ValuesRoundTripEncrypted) {
  const std::string longValue(10000, 'x');
  const char* values[] = {"secret", "", "\xE2\x82\xAC \"quoted\" ;*", longValue.c_str()};
  for (const char* value : values) {
    ASSERT_EQ(HalvorantValue_set_value("alpha", "*.example.com", 0, value, kWriter), 0);
    const HalvorantValueEntry& entry = value_list[0];
    ASSERT_NE(entry.cipher, nullptr);
    EXPECT_EQ(entry.cipherLength % 16, 0u);
    EXPECT_GE(entry.cipherLength, strlen(value) + 16);
    if (value[0] != '\0') {
      std::string stored(reinterpret_cast<const char*>(entry.cipher), entry.cipherLength);
      EXPECT_EQ(stored.find(value), std::string::npos) << "value kept in the clear";
    }
    EXPECT_EQ(get("alpha", "https://shop.example.com:8443"), value);
  }
  EXPECT_EQ(freeEntries(), HALVORANT_VALUE_COUNT - 1);
}

TEST_F(ValueStore, ChannelNamesIgnoreCase) {
  ASSERT_EQ(HalvorantValue_set_value("Alpha", "a.test", 0, "one", kWriter), 0);
  ASSERT_EQ(HalvorantValue_set_value("ALPHA", "b.test", 0, "two", kWriter), 0);
  EXPECT_STREQ(value_list[0].channel, "Alpha");
  EXPECT_EQ(value_list[1].channel, nullptr);
  EXPECT_EQ(get("alpha", "https://b.test"), "two");
  // The write replaced the domain list along with the value.
  std::string console;
  EXPECT_EQ(getLogged("alpha", "https://a.test", &console), "");
  EXPECT_LOGGED(console, "HalvorantValue url check fail");
}

TEST_F(ValueStore, RefusedWritesChangeNothing) {
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 0, "kept", kWriter), 0);
  const std::string longList(5000, 'a');
  struct Refusal {
    const char* channel;
    const char* list;
    int timeout;
    const char* value;
    const char* line;  // console text, or "" for none at all
  };
  const Refusal refusals[] = {
      {nullptr, "*", 0, "new", "Parameter channel is null at "},
      {"alpha", nullptr, 0, "new", "Parameter domain_list is null at "},
      {"alpha", "*", -1, "new", ""},
      {"alpha", "*", INT_MIN, "new", ""},
      {"alpha", "*", 0, nullptr, "Parameter value is null at "},
      {"alpha", longList.c_str(), 0, "new", "Domain list too long"},
      {"alpha", "(?=x)", 0, "new", "Lookahead not allowed"},
      {"beta", longList.c_str(), 0, "new", "Domain list too long"},
  };
  for (const Refusal& r : refusals) {
    std::string console;
    EXPECT_EQ(setLogged(r.channel, r.list, r.timeout, r.value, &console), 61005) << r.line;
    if (r.line[0] == '\0') {
      EXPECT_EQ(console, "");
    } else {
      EXPECT_LOGGED(console, r.line);
    }
  }
  EXPECT_EQ(get("alpha", "https://a.test"), "kept");
  EXPECT_EQ(value_list[0].timeout, 0u);
  EXPECT_EQ(freeEntries(), HALVORANT_VALUE_COUNT - 1);
}

TEST_F(ValueStore, ReadsThatAnswerEmpty) {
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*.example.com; www.example.org", 0, "v", kWriter), 0);
  ASSERT_EQ(HalvorantValue_set_value("closed", "", 0, "v", kWriter), 0);
  struct Read {
    const char* channel;
    const char* origin;
    const char* line;
  };
  const Read reads[] = {
      {"never", "https://www.example.org", "HalvorantValue no current channel"},
      {"alpha", "https://example.com", "HalvorantValue url check fail"},
      {"alpha", "null", "Input domain is not url"},
      {"closed", "https://www.example.org", "HalvorantValue url check fail"},
      {nullptr, "https://www.example.org", "Parameter channel is null at "},
      {"alpha", nullptr, "Parameter domain is null at "},
  };
  for (const Read& r : reads) {
    std::string console;
    EXPECT_EQ(getLogged(r.channel, r.origin, &console), "") << r.line;
    EXPECT_LOGGED(console, r.line);
  }
}

TEST_F(ValueStore, ExpiryAndRenewalToTheSecond) {
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 5, "v", kWriter), 0);
  EXPECT_EQ(value_list[0].expireTime, kT + 300);

  g_now = kT + 200;
  std::string console;
  EXPECT_EQ(getLogged("alpha", "https://a.test", &console), "v");
  EXPECT_LOGGED(console, "HalvorantValue current_time: ");
  EXPECT_LOGGED(console, std::to_string(kT + 200));
  EXPECT_LOGGED(console, "HalvorantValue update expired_time: ");
  EXPECT_EQ(value_list[0].expireTime, kT + 500);

  g_now = kT + 500;  // exactly the expiry: still readable, renewed again
  EXPECT_EQ(get("alpha", "https://a.test"), "v");
  EXPECT_EQ(value_list[0].expireTime, kT + 800);

  g_now = kT + 801;
  EXPECT_EQ(getLogged("alpha", "https://a.test", &console), "");
  EXPECT_LOGGED(console, "Timeout");
  EXPECT_LOGGED(console, "HalvorantValue expired_time: ");
  // Expiry alone frees nothing.
  EXPECT_STREQ(value_list[0].channel, "alpha");
  EXPECT_EQ(value_list[0].expireTime, kT + 800);
  EXPECT_NE(value_list[0].cipher, nullptr);
}

// What keeps the service from its idle exit: a value is live through its last second; one
// without timeout holds for good.
TEST_F(ValueStore, LiveUntilTheLastExpiry) {
  int64_t until = -1;
  EXPECT_FALSE(HalvorantValue_liveUntil(kT, &until));
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 5, "v", kWriter), 0);
  ASSERT_EQ(HalvorantValue_set_value("beta", "*", 2, "v", kWriter), 0);
  EXPECT_TRUE(HalvorantValue_liveUntil(kT + 200, &until));
  EXPECT_EQ(until, kT + 300);
  EXPECT_TRUE(HalvorantValue_liveUntil(kT + 300, &until));
  EXPECT_FALSE(HalvorantValue_liveUntil(kT + 301, &until));
  ASSERT_EQ(HalvorantValue_set_value("gamma", "*", 0, "v", kWriter), 0);
  EXPECT_TRUE(HalvorantValue_liveUntil(kT + 301, &until));
  EXPECT_EQ(until, INT64_MAX);
}

TEST_F(ValueStore, NoTimeoutNeverExpires) {
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 0, "v", kWriter), 0);
  EXPECT_EQ(value_list[0].expireTime, 0);
  g_now = kT + 20LL * 365 * 24 * 3600;
  std::string console;
  EXPECT_EQ(getLogged("alpha", "https://a.test", &console), "v");
  EXPECT_LOGGED(console, "No expired time");
  EXPECT_EQ(value_list[0].expireTime, 0);
}

TEST_F(ValueStore, LargestTimeoutIsComputedIn64Bits) {
  const int64_t lifetime = static_cast<int64_t>(INT_MAX) * 60;
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", INT_MAX, "v", kWriter), 0);
  EXPECT_EQ(value_list[0].timeout, static_cast<uint32_t>(INT_MAX));
  EXPECT_EQ(value_list[0].expireTime, kT + lifetime);
  g_now = kT + lifetime;
  EXPECT_EQ(get("alpha", "https://a.test"), "v");
  EXPECT_EQ(value_list[0].expireTime, kT + 2 * lifetime);
}

// Values stored without timeout are kept only while there is room: four origins holding
// four such channels each do not lock a newcomer out. The full store clears all sixteen,
// whoever wrote them, and the new value takes the highest index.
TEST_F(ValueStore, FullOfValuesWithoutTimeoutAdmitsANewcomer) {
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) {
    std::string channel = "ch" + std::to_string(i);
    const std::string origin = writer(i / HALVORANT_VALUE_PER_ORIGIN);
    ASSERT_EQ(HalvorantValue_set_value(channel.c_str(), "*", 0, "v", origin.c_str()), 0) << i;
  }
  ASSERT_EQ(freeEntries(), 0);
  ASSERT_EQ(HalvorantValue_set_value("seventeen", "*", 0, "new", "https://newcomer.test"), 0);
  EXPECT_STREQ(value_list[15].channel, "seventeen");
  EXPECT_EQ(freeEntries(), HALVORANT_VALUE_COUNT - 1);
  EXPECT_EQ(get("seventeen", "https://a.test"), "new");
  EXPECT_EQ(get("ch3", "https://a.test"), "");
}

TEST_F(ValueStore, FullOfLiveValuesRefuses) {
  fill(10);
  std::string console;
  EXPECT_EQ(setLogged("seventeen", "*", 0, "new", &console), 61019);
  EXPECT_LOGGED(console, "Full");
  EXPECT_EQ(freeEntries(), 0);
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) EXPECT_EQ(get(value_list[i].channel, "https://a.test"), "v");
  // A known channel is still written in place.
  EXPECT_EQ(HalvorantValue_set_value("CH4", "*", 10, "w", writer(4).c_str()), 0);
  EXPECT_EQ(get("ch4", "https://a.test"), "w");
}

TEST_F(ValueStore, FullStoreClearsOnlyWhatHasExpired) {
  // Entries 3 and 7 expire at T + 60, entry 5 at T + 61, the others at T + 600.
  for (int i = 0; i < HALVORANT_VALUE_COUNT; ++i) {
    std::string channel = "ch" + std::to_string(i);
    g_now = i == 5 ? kT + 1 : kT;
    int timeout = (i == 3 || i == 5 || i == 7) ? 1 : 10;
    ASSERT_EQ(HalvorantValue_set_value(channel.c_str(), "*", timeout, "v", writer(i).c_str()), 0);
  }
  g_now = kT + 61;
  ASSERT_EQ(HalvorantValue_set_value("new", "*", 10, "n", kWriter), 0);
  EXPECT_EQ(value_list[3].channel, nullptr);
  EXPECT_STREQ(value_list[7].channel, "new");
  EXPECT_STREQ(value_list[5].channel, "ch5");
  EXPECT_EQ(freeEntries(), 1);
}

TEST_F(ValueStore, OriginsCannotTakeOverOrCrowdOutEachOther) {
  const char* bank = "https://bank.test";
  const char* evil = "https://evil.test";
  ASSERT_EQ(HalvorantValue_set_value("pay", "shop.test", 10, "pay to bank", bank), 0);
  // A live channel of another origin: neither value nor domain list changes.
  EXPECT_EQ(HalvorantValue_set_value("PAY", "*", 10, "pay to evil", evil), 61005);
  EXPECT_EQ(get("pay", "https://shop.test"), "pay to bank");
  EXPECT_EQ(get("pay", "https://evil.test"), "");
  // Its writer may rewrite it.
  EXPECT_EQ(HalvorantValue_set_value("pay", "shop.test", 10, "pay to bank 2", bank), 0);
  EXPECT_EQ(get("pay", "https://shop.test"), "pay to bank 2");

  // Four live channels per origin; the fifth is refused for that origin only.
  for (int i = 0; i < HALVORANT_VALUE_PER_ORIGIN; ++i)
    ASSERT_EQ(HalvorantValue_set_value(("e" + std::to_string(i)).c_str(), "*", 10 + i, "x", evil), 0);
  EXPECT_EQ(HalvorantValue_set_value("e4", "*", 0, "x", evil), 61019);
  EXPECT_EQ(HalvorantValue_set_value("e0", "*", 10, "again", evil), 0);  // its own: rewritten
  EXPECT_EQ(HalvorantValue_set_value("second", "*", 0, "ok", bank), 0);

  // Once expired, a channel is anybody's, and it no longer counts against its writer.
  g_now = kT + 11 * 60;  // pay and e0 have expired
  EXPECT_EQ(HalvorantValue_set_value("pay", "*", 0, "taken over", evil), 0);  // e1 to e3 live: three of four
  EXPECT_EQ(get("pay", "https://a.test"), "taken over");
  EXPECT_EQ(HalvorantValue_set_value("pay", "*", 0, "back", bank), 61005);
}

// An origin at its quota that writes a new channel first gives up its own expired channels
// and those without timeout; only when it has none of them is the write refused. Other
// origins' values stay either way.
TEST_F(ValueStore, OriginAtItsQuotaMakesRoomFromItsOwnReclaimableChannels) {
  const char* page = "https://page.test";
  const char* other = "https://other.test";
  g_now = kT - 61;  // these two have expired by T
  ASSERT_EQ(HalvorantValue_set_value("theirs1", "*", 1, "t", other), 0);
  ASSERT_EQ(HalvorantValue_set_value("old", "*", 1, "v", page), 0);
  g_now = kT;
  ASSERT_EQ(HalvorantValue_set_value("theirs0", "*", 0, "t", other), 0);
  ASSERT_EQ(HalvorantValue_set_value("kept0", "*", 0, "v", page), 0);  // no timeout
  ASSERT_EQ(HalvorantValue_set_value("timed1", "*", 10, "v", page), 0);
  ASSERT_EQ(HalvorantValue_set_value("timed2", "*", 10, "v", page), 0);
  ASSERT_EQ(HalvorantValue_set_value("kept3", "*", 0, "v", page), 0);  // the fourth live one

  std::string console;
  testing::internal::CaptureStdout();
  EXPECT_EQ(HalvorantValue_set_value("fifth", "*", 10, "new", page), 0);
  console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console.find("Full"), std::string::npos) << console;
  for (const char* gone : {"old", "kept0", "kept3"}) EXPECT_EQ(findChannel(gone), -1) << gone;
  for (const char* kept : {"timed1", "timed2", "fifth", "theirs0", "theirs1"}) EXPECT_GE(findChannel(kept), 0) << kept;
  EXPECT_EQ(get("fifth", "https://a.test"), "new");

  // Four live channels with a timeout: nothing of its own to give up.
  ASSERT_EQ(HalvorantValue_set_value("timed3", "*", 10, "v", page), 0);
  const int freeBefore = freeEntries();
  EXPECT_EQ(setLogged("sixth", "*", 0, "v", &console, page), 61019);
  EXPECT_LOGGED(console, "HalvorantValue channels per origin used up: ");
  EXPECT_EQ(freeEntries(), freeBefore);
  EXPECT_EQ(HalvorantValue_set_value("timed3", "*", 0, "rewritten", page), 0);  // its own channel: still written
}

TEST_F(ValueStore, UndecryptableValueAnswersNull) {
  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 5, "v", kWriter), 0);
  value_list[0].cipherLength = 17;  // not whole blocks: the cipher refuses it
  g_now = kT + 60;
  std::string console;
  EXPECT_EQ(getLogged("alpha", "https://a.test", &console), kNull);
  EXPECT_LOGGED(console, "Memory allocate fail at file: ");
  EXPECT_EQ(value_list[0].expireTime, kT + 360);  // the renewal stands
}

TEST_F(ValueStore, KeysAreFreshAndWipedAtShutdown) {
  unsigned char key[32];
  unsigned char iv[32];
  memcpy(key, HalvorantValue_AES_Key, 32);
  memcpy(iv, HalvorantValue_AES_IV, 32);
  const unsigned char zeros[32] = {0};
  EXPECT_NE(memcmp(key, zeros, 32), 0);
  EXPECT_NE(memcmp(key, iv, 32), 0);

  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 0, "v", kWriter), 0);
  HalvorantValue_init();
  EXPECT_NE(memcmp(key, HalvorantValue_AES_Key, 32), 0);
  EXPECT_EQ(freeEntries(), HALVORANT_VALUE_COUNT);

  ASSERT_EQ(HalvorantValue_set_value("alpha", "*", 0, "v", kWriter), 0);
  HalvorantValue_Final();
  EXPECT_EQ(memcmp(HalvorantValue_AES_Key, zeros, 32), 0);
  EXPECT_EQ(memcmp(HalvorantValue_AES_IV, zeros, 32), 0);
  EXPECT_EQ(freeEntries(), HALVORANT_VALUE_COUNT);
  EXPECT_EQ(value_list[0].cipher, nullptr);
  EXPECT_EQ(value_list[0].cipherLength, 0u);

  // Clearing one entry: indexes outside the table are ignored.
  HalvorantValue_init(-1);
  HalvorantValue_init(HALVORANT_VALUE_COUNT);
}

TEST_F(ValueStore, UnreadableRandomSourceIsReported) {
  HalvorantValue_Final();
  setSecureRandomDevice("/nonexistent/random");
  testing::internal::CaptureStdout();
  HalvorantValue_init();
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_LOGGED(console, "Random source unavailable");
}

}  // namespace
