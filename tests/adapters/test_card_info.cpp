// What the e-ID adapter reads from an ATR alone: card names (built-in table and card-list
// file), the ATR's public facts, and JSON texts of names it does not control.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "CardInfo.h"

namespace {

std::vector<unsigned char> bytes(const std::string& hex) {
  std::vector<unsigned char> out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  return out;
}

class CardList : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_cardlist_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/smartcard_list.txt";
    std::ofstream(path_) << "# comment line\n"
                            "3B 11 22 33\n"            // a pattern without description: skipped
                            "\n"
                            "3B 8F 80 01 80 4F 0C A0 00 00 03 06 03 .. .. 00 00 00 00 ..\n"
                            "\tStorage card, any kind\n"
                            "\tsecond description line\n"
                            "3B 6[89] 00 00 .. 0[0-3]\n"
                            "\tRanged card \"quoted\"\n"
                            "3B 7.* 00\n"               // other expression syntax: never matches
                            "\tWildcard card\n"
                            "3B 71 00\n"
                            "\tPlain card\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string lookUp(const std::string& hex) {
    std::vector<unsigned char> atr = bytes(hex);
    return cardinfo::cardType(atr.data(), atr.size(), path_.c_str());
  }
  std::string dir_, path_;
};

TEST_F(CardList, NamesFromTheTableThenTheList) {
  struct Case {
    const char* atr;
    const char* name;
  } cases[] = {
      {"3b951381018073ff01000b", "Virtual smart card (ISO 7816 emulation)"},  // built in, not in the file
      {"3b8f8001804f0ca000000306030001000000006a", "Contactless storage card (PC/SC part 3)"},  // table wins
      {"3b6900004201", "Ranged card \"quoted\""},
      {"3b6800004203", "Ranged card \"quoted\""},
      {"3b6800004204", ""},       // 4 is outside [0-3]
      {"3b710000", ""},           // longer than every pattern
      {"3b7100", "Plain card"},   // and not the wildcard one before it
      {"3b112233", ""},           // pattern without description
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(lookUp(c.atr), c.name) << c.atr;

  std::vector<unsigned char> atr = bytes("3b7100");
  EXPECT_EQ(cardinfo::cardType(atr.data(), atr.size(), (dir_ + "/missing.txt").c_str()), "");
  EXPECT_EQ(cardinfo::cardType(atr.data(), atr.size(), nullptr), "");
}

TEST(AtrFacts, ReadsStructureAndHistoricalBytes) {
  struct Case {
    const char* atr;
    const char* facts;
  } cases[] = {
      {"3b951381018073ff01000b",
       "{\"valid\":true,\"convention\":\"direct\",\"protocols\":[\"T=1\"],\"historicalBytes\":\"8073ff0100\","
       "\"categoryIndicator\":\"80\",\"objects\":[{\"tag\":\"7\",\"name\":\"card capabilities\",\"data\":\"ff0100\"}]}"},
      // One byte more than the ATR's structure announces.
      {"3b0400311c9000",
       "{\"valid\":false,\"convention\":\"direct\",\"protocols\":[\"T=0\"],\"historicalBytes\":\"00311c90\","
       "\"categoryIndicator\":\"00\",\"objects\":[]}"},
      // No TD1: T=0 and no check byte. Category 00: the last three bytes are status, not objects.
      {"3b060031c0009000",
       "{\"valid\":true,\"convention\":\"direct\",\"protocols\":[\"T=0\"],\"historicalBytes\":\"0031c0009000\","
       "\"categoryIndicator\":\"00\",\"objects\":[{\"tag\":\"3\",\"name\":\"card service data\",\"data\":\"c0\"}]}"},
      // Inverse convention, T=0 and T=1 offered, a wrong check byte.
      {"3f8180018000",
       "{\"valid\":false,\"convention\":\"inverse\",\"protocols\":[\"T=0\",\"T=1\"],\"historicalBytes\":\"80\","
       "\"categoryIndicator\":\"80\",\"objects\":[]}"},
      // Cut short inside the interface bytes.
      {"3bf0", "{\"valid\":false,\"convention\":\"direct\",\"protocols\":[\"T=0\"],\"historicalBytes\":\"\"}"},
      {"", "{\"valid\":false,\"convention\":\"unknown\",\"protocols\":[],\"historicalBytes\":\"\"}"},
  };
  for (const Case& c : cases) {
    std::vector<unsigned char> atr = bytes(c.atr);
    EXPECT_EQ(cardinfo::atrFacts(atr.data(), atr.size()), c.facts) << c.atr;
  }
}

}  // namespace
