// Session table: new identifiers, lookup by substring, eviction of the first opened,
// the bounded identifier loop, and the path table with its name cleaning.
#include <cstring>

#include "SessionTestSupport.h"
#include "session/AdapterLoad.h"
#include "util/Tool.h"

namespace {

namespace fs = std::filesystem;
using sessiontest::Answer;
using sessiontest::openSlots;
using sessiontest::SessionFixture;
using sessiontest::slotOf;

class SessionTable : public SessionFixture {};

TEST_F(SessionTable, FirstEchoOpensWithFreshIdentifier) {
  Answer answer = process({{"FunctionName", "Echo"},
                           {"PathID", "3A61F0B2C94E4D7B8E05A1C2D3F40516"},
                           {"minServerVersion", "1.0.0.0"}});
  ASSERT_FALSE(answer.null);
  std::string id = answer.get("SessionID");
  ASSERT_EQ(id.size(), 12u);
  EXPECT_EQ(id.substr(8), "_SID");
  EXPECT_EQ(answer.get("ServerVersion"), "1.0.23.0510");
  EXPECT_EQ(answer.get("LibVersion"), "1.0.0.1");
  EXPECT_EQ(answer.get("result"), "0");
  EXPECT_FALSE(answer.has("InstallerVersion"));
  EXPECT_GE(slotOf(id), 0);
}

TEST_F(SessionTable, PageChosenIdentifierAndSubstringLookup) {
  Answer opened = open("AB12CD34_SID");
  EXPECT_FALSE(opened.has("SessionID"));  // the page's own identifier is not echoed
  EXPECT_EQ(opened.get("result"), "0");
  ASSERT_EQ(slotOf("AB12CD34_SID"), 0);

  // The stored identifier occurs inside the request's: same session (2nd call of it).
  EXPECT_EQ(call("xAB12CD34_SIDx", "Count").get("result"), "2");
  EXPECT_EQ(openSlots(), 1);
  // Not a substring the other way round: a new session is opened under "AB12".
  EXPECT_EQ(open("AB12").get("result"), "0");
  EXPECT_EQ(openSlots(), 2);
}

TEST_F(SessionTable, LowerSlotWinsWhenTwoIdentifiersOccur) {
  ASSERT_EQ(open("BBBB").get("result"), "0");
  ASSERT_EQ(open("AAAA").get("result"), "0");
  ASSERT_EQ(slotOf("BBBB"), 0);
  // Both occur; slot 0 (BBBB) answers. Its adapter has seen version + echo-less call.
  std::string path = call("AAAA-BBBB", "Path").get("result");
  EXPECT_NE(path.find("probe-BBBB.dylib"), std::string::npos) << path;
}

TEST_F(SessionTable, ThirtyThirdSessionEvictsTheFirstOpened) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(open("S" + std::to_string(100 + i)).get("result"), "0");
  ASSERT_EQ(openSlots(), 32);
  // Recent use does not protect the first opened session.
  ASSERT_EQ(call("S100", "Count").get("result"), "2");
  int before = releaseCount();
  ASSERT_EQ(open("S200").get("result"), "0");
  EXPECT_EQ(openSlots(), 32);
  EXPECT_EQ(slotOf("S100"), -1);
  EXPECT_EQ(slotOf("S200"), 0);  // took the evicted session's slot
  EXPECT_EQ(slotOf("S101"), 1);
  EXPECT_EQ(releaseCount(), before + 1);
  EXPECT_EQ(sessiontest::entries(copyDir), 32u);
}

TEST_F(SessionTable, RepeatingIdentifierSourceIsBounded) {
  // An unreadable random device makes genUUID answer 00000000_SID every time.
  setSecureRandomDevice((root / "no-device").c_str());
  Answer first = process({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"},
                          {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"}});
  Answer second = process({{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"},
                           {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"}});
  setSecureRandomDevice(nullptr);
  EXPECT_EQ(first.get("SessionID"), "00000000_SID");
  EXPECT_EQ(first.get("result"), "0");
  // No fresh identifier: an empty answer, and no second session.
  ASSERT_FALSE(second.null);
  EXPECT_TRUE(second.keys.empty());
  EXPECT_EQ(openSlots(), 1);
}

TEST_F(SessionTable, ReleaseWithoutSession) {
  // Only the service's version comes back: pages detect the service with this request.
  Answer unknown = call("nomatch", "HalvorantRelease");
  ASSERT_FALSE(unknown.null);
  EXPECT_EQ(unknown.keys.size(), 1u);
  EXPECT_TRUE(unknown.has("ServerVersion"));
  Answer fresh = process({{"FunctionName", "HalvorantForceRelease"}});
  EXPECT_EQ(fresh.keys.size(), 2u);
  EXPECT_TRUE(fresh.has("SessionID"));
  EXPECT_TRUE(fresh.has("ServerVersion"));
  EXPECT_EQ(openSlots(), 0);
}

TEST(SessionProcessArguments, NullRequestOrOriginGivesNoAnswer) {
  char origin[] = "https://a.test";
  EXPECT_EQ(HalvorantSession_Process(0, nullptr, origin, nullptr), nullptr);
  HalvorantJsonMap* request = getHalvorantJsonMap("{\"FunctionName\":\"Echo\"}");
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(HalvorantSession_Process(0, request, nullptr, nullptr), nullptr);
  freeHalvorantJsonMap(request);
}

// ---- Name cleaning and the path table -------------------------------------------------

struct SanitizeCase {
  const char* input;
  size_t size;
  const char* expected;
};

TEST(SanitizeFileName, Table) {
  const SanitizeCase cases[] = {
      {"../Nox", 64, "..Nox"},
      {"..", 64, ""},
      {"/..", 64, ""},
      {"...", 64, "..."},
      {"a<b>c:d\"e/f\\g|h?i*j;k&l$m", 64, "abcdefghijklm"},
      {"Nox Crypt.Adapter", 64, "Nox Crypt.Adapter"},
      {"..x", 2, ""},        // two characters examined: ".."
      {"abcdef", 4, "abc"},  // an unterminated buffer is cut, not overrun
  };
  for (const SanitizeCase& c : cases) {
    char buffer[64];
    memset(buffer, 'Z', sizeof buffer);
    memcpy(buffer, c.input, strlen(c.input) + 1 < sizeof buffer ? strlen(c.input) + 1 : sizeof buffer);
    sanitize_file_name(buffer, c.size);
    EXPECT_STREQ(buffer, c.expected) << c.input;
    for (size_t i = strlen(c.expected); i < c.size; ++i) EXPECT_EQ(buffer[i], '\0') << c.input << " at " << i;
  }
}

TEST(PathTable, SearchAndMembership) {
  char libDir[64] = "Other";
  char comName[64] = "Thing";
  HalvorantSession_searchPathTable("5b72e1c3da5f4e8c9f16b2d3e4051627", libDir, comName);
  EXPECT_STREQ(libDir, "Nox");
  EXPECT_STREQ(comName, "NoxPkiCryptAdapter");
  HalvorantSession_searchPathTable("00000000000000000000000000000000", libDir, comName);
  EXPECT_STREQ(comName, "NoxPkiCryptAdapter");  // no row: unchanged

  EXPECT_TRUE(HalvorantSession_isInPathTable("nox", "noxidadapter"));
  EXPECT_FALSE(HalvorantSession_isInPathTable("..Nox", "NoxIdAdapter"));
  EXPECT_FALSE(HalvorantSession_isInPathTable("Nox", "Other"));
  EXPECT_FALSE(HalvorantSession_isInPathTable(nullptr, "NoxIdAdapter"));
}

struct ResolveCase {
  const char* name;
  sessiontest::Params params;
  const char* result;  // expected "result"
};

TEST_F(SessionTable, ResolutionTable) {
  const ResolveCase cases[] = {
      {"lower-case PathID", {{"PathID", "6c83f2d4eb604f9da027c3e4f5162738"}}, "0"},
      {"table names without PathID", {{"LibDir", "Nox"}, {"ComName", "NoxIdAdapter"}}, "0"},
      {"names outside the table", {{"LibDir", "Fix"}, {"ComName", "probe"}}, "61009"},
      {"cleaned ../Nox fails the table", {{"LibDir", "../Nox"}, {"ComName", "NoxIdAdapter"}}, "61009"},
      {"LibDir .. becomes empty", {{"PathID", "none"}, {"LibDir", ".."}, {"ComName", "probe"}}, "61009"},
      {"no names at all", {{"PathID", "none"}}, "61009"},
      {"unknown PathID uses the names", {{"PathID", "none"}, {"LibDir", "Fix"}, {"ComName", "probe"}}, "0"},
      {"missing installed file", {{"PathID", "none"}, {"LibDir", "Fix"}, {"ComName", "absent"}}, "61902"},
  };
  for (const ResolveCase& c : cases) {
    sessiontest::Params params = c.params;
    params.push_back({"FunctionName", "Echo"});
    params.push_back({"minServerVersion", "1.0.0.0"});
    Answer answer = process(params);
    EXPECT_EQ(answer.get("result"), c.result) << c.name;
    if (std::string(c.result) != "0") {
      EXPECT_EQ(answer.keys.size(), 1u) << c.name;  // only "result"
    }
  }
  EXPECT_EQ(openSlots(), 3);
}

TEST_F(SessionTable, TableTestKeepsThePageSpelling) {
  // nox/noxidadapter passes the table test; the file is looked up under that spelling.
  fs::create_directories(exeDir / "nox");
  fs::copy_file(exeDir / "Fix" / "probe.dylib", exeDir / "nox" / "noxidadapter.dylib");
  Answer answer = process({{"SessionId", "Spell"}, {"FunctionName", "Path"}, {"LibDir", "nox"},
                           {"ComName", "noxidadapter"}, {"minServerVersion", "1.0.0.0"}});
  EXPECT_EQ(answer.get("result"), (copyDir / "noxidadapter-Spell.dylib").string());
}

}  // namespace
