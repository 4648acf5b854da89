// Sessions over the wire: opening with version checks, release of the copy, browser
// mode, identifier lookup, eviction, main-thread calls with heartbeats, hostile names
// and the value store across origins.
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

namespace fs = std::filesystem;
using Params = std::vector<std::pair<std::string, std::string>>;
using Values = std::map<std::string, std::string>;

constexpr const char* kCrypt = "3A61F0B2C94E4D7B8E05A1C2D3F40516";

std::string toJson(const Params& params, const std::string& raw = "") {
  std::string json = "{";
  for (size_t i = 0; i < params.size(); ++i) {
    json += i ? "," : "";
    json += "\"" + params[i].first + "\":\"";
    for (char c : params[i].second) json += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    json += "\"";
  }
  if (!raw.empty()) json += (params.empty() ? "" : ",") + raw;
  return json + "}";
}

std::set<std::string> workFiles() {
  std::set<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(noxtest::kWorkDir, ec)) names.insert(entry.path().filename());
  return names;
}

class SessionWire : public ::testing::Test {
 protected:
  SessionWire() : service_(options()) {}

  static noxtest::ServiceOptions options() {
    noxtest::ServiceOptions o;
    o.fixtureDirs.push_back(NOX_SESSION_FIXTURES);  // beside the executable as fixtures/
    return o;
  }

  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.error() << service_.output();
    ASSERT_NE(service_.output().find("NoxHalvorant initialization: Success"), std::string::npos)
        << service_.output();
  }
  void TearDown() override { EXPECT_EQ(service_.stop(), 0) << service_.output(); }

  static noxtest::Answer post(const Params& params, const std::string& origin = "https://a.test",
                              const std::string& raw = "") {
    noxtest::Request r;
    r.origin = origin;
    r.json = toJson(params, raw);
    return noxtest::send(r);
  }

  static Values ask(const Params& params, const std::string& origin = "https://a.test") {
    noxtest::Answer a = post(params, origin);
    EXPECT_TRUE(a.ok()) << a.error;
    EXPECT_EQ(a.status, 200);
    return a.values();
  }

  static Values openCrypt(const std::string& sessionId, const Params& extra = {},
                          const std::string& origin = "https://a.test") {
    Params p = {{"FunctionName", "Echo"}, {"PathID", kCrypt}, {"minServerVersion", "1.0.0.0"}};
    if (!sessionId.empty()) p.push_back({"SessionId", sessionId});
    p.insert(p.end(), extra.begin(), extra.end());
    return ask(p, origin);
  }

  static Values digest(const std::string& sessionId) {
    return ask({{"SessionId", sessionId}, {"FunctionName", "Digest"}, {"Algorithm", "SHA1"}, {"Data", "abc"}});
  }

  static constexpr const char* kSha1Abc = "A9993E364706816ABA3E25717850C26C9CD0D89D";

  noxtest::Service service_;
};

TEST_F(SessionWire, EchoOpensAndReleaseDeletesTheCopy) {
  Values opened = openCrypt("");
  std::string id = opened["SessionID"];
  ASSERT_EQ(id.size(), 12u) << service_.output();
  EXPECT_EQ(opened["ServerVersion"], "1.0.23.0510");
  EXPECT_EQ(opened["LibVersion"], "1.0.0.1");
  EXPECT_EQ(opened["result"], "0");
  std::string copy = "NoxCryptAdapter-" + id + ".dylib";
  EXPECT_EQ(workFiles().count(copy), 1u);
  EXPECT_EQ(fs::status(noxtest::kWorkDir).permissions() & (fs::perms::group_write | fs::perms::others_write),
            fs::perms::none);

  EXPECT_EQ(digest(id)["result"], kSha1Abc);
  EXPECT_EQ(ask({{"SessionId", id}, {"FunctionName", "HalvorantRelease"}}), Values{});
  EXPECT_EQ(workFiles().count(copy), 0u);
  EXPECT_TRUE(fs::exists(service_.dir() + "/Nox/NoxCryptAdapter.dylib"));
  // Gone: without adapter names the request cannot open a new session.
  EXPECT_EQ(digest(id)["result"], "61009");
}

TEST_F(SessionWire, VersionRefusals) {
  struct Case {
    const char* name;
    Params params;
    const char* result;
  } cases[] = {
      {"no minServerVersion", {{"FunctionName", "Echo"}, {"PathID", kCrypt}}, "61203"},
      {"server too old", {{"FunctionName", "Echo"}, {"PathID", kCrypt}, {"minServerVersion", "1.0.24.0"}}, "61203"},
      {"adapter too old",
       {{"FunctionName", "Echo"}, {"PathID", kCrypt}, {"minServerVersion", "1.0.0.0"}, {"minLibVersion", "1.0.0.2"}},
       "61204"},
      {"adapter answers a code",
       {{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "fixtures"}, {"ComName", "code_version"},
        {"minServerVersion", "1.0.0.0"}},
       "61205"},
  };
  std::set<std::string> before = workFiles();
  for (const Case& c : cases) EXPECT_EQ(ask(c.params), (Values{{"result", c.result}})) << c.name;
  for (const std::string& name : workFiles()) {  // refused sessions leave no copy behind
    if (before.count(name) == 0) {
      EXPECT_EQ(name.find(".dylib"), std::string::npos) << name;
    }
  }
}

TEST_F(SessionWire, BrowserModeKeptByCloseEndedByForceRelease) {
  ASSERT_EQ(openCrypt("Page_Browser", {{"HalvorantMode", "1"}})["result"], "0");
  EXPECT_EQ(ask({{"SessionId", "Page_Browser"}, {"FunctionName", "HalvorantClose"}}), Values{});
  EXPECT_EQ(digest("Page_Browser")["result"], kSha1Abc);
  EXPECT_NE(service_.output().find("[Browser mode] Skip release process"), std::string::npos);
  EXPECT_EQ(ask({{"SessionId", "Page_Browser"}, {"FunctionName", "HalvorantForceRelease"}}), Values{});
  EXPECT_EQ(digest("Page_Browser")["result"], "61009");
  EXPECT_EQ(workFiles().count("NoxCryptAdapter-Page_Browser.dylib"), 0u);
}

TEST_F(SessionWire, PageChosenIdentifierAndSubstringLookup) {
  Values opened = openCrypt("MyPage_01");
  EXPECT_EQ(opened.count("SessionID"), 0u);
  EXPECT_EQ(opened["result"], "0");
  EXPECT_EQ(workFiles().count("NoxCryptAdapter-MyPage_01.dylib"), 1u);
  EXPECT_EQ(digest("tab7-MyPage_01-x")["result"], kSha1Abc);
}

TEST_F(SessionWire, ThirtyThirdSessionEvictsTheFirst) {
  for (int i = 0; i < 33; ++i) ASSERT_EQ(openCrypt("P" + std::to_string(100 + i))["result"], "0") << i;
  EXPECT_EQ(digest("P100")["result"], "61009");  // evicted
  EXPECT_EQ(digest("P101")["result"], kSha1Abc);
  EXPECT_EQ(digest("P132")["result"], kSha1Abc);
  size_t copies = 0;
  for (const std::string& name : workFiles()) copies += name.rfind("NoxCryptAdapter-P", 0) == 0;
  EXPECT_EQ(copies, 32u);
}

TEST_F(SessionWire, MainThreadCallAnswersHeartbeatsThenResult) {
  ASSERT_EQ(openCrypt("Main_1")["result"], "0");
  Params sleep = {{"SessionId", "Main_1"}, {"FunctionName", "Sleep"}, {"Seconds", "9"}};
  auto start = std::chrono::steady_clock::now();
  std::vector<std::string> answers;
  for (int i = 0; i < 4; ++i) {
    noxtest::Answer a = post(sleep, "https://a.test", "\"MainThread\":true");
    ASSERT_TRUE(a.ok()) << a.error;
    answers.push_back(a.values()["result"]);
    if (answers.back() != "heartbeat") break;
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_GE(answers.size(), 2u) << service_.output();
  EXPECT_EQ(answers.front(), "heartbeat");
  EXPECT_EQ(answers.back(), "slept 9");
  EXPECT_GE(seconds, 8.5);
  EXPECT_LT(seconds, 20.0);

  // The adapter runs on the process's first thread only in main-thread mode.
  Params probe = {{"SessionId", "Main_2"}, {"FunctionName", "IsMainThread"}, {"PathID", "none"},
                  {"LibDir", "fixtures"}, {"ComName", "probe"}, {"minServerVersion", "1.0.0.0"}};
  EXPECT_EQ(post(probe, "https://a.test", "\"MainThread\":true").values()["result"], "main");
  EXPECT_EQ(ask({{"SessionId", "Main_2"}, {"FunctionName", "IsMainThread"}})["result"], "other");
}

TEST_F(SessionWire, HostileValuesStayInTheirDirectories) {
  fs::path parent = fs::path(service_.dir()).parent_path();
  std::set<std::string> before;
  for (const auto& entry : fs::directory_iterator(parent)) before.insert(entry.path().filename());

  Values hostile = openCrypt("../../evil", {{"InstallerName", "../../../etc/hostname"}});
  EXPECT_EQ(hostile["result"], "0");
  EXPECT_EQ(hostile["InstallerVersion"], "");
  for (const std::string& name : workFiles()) EXPECT_EQ(name.find("evil"), std::string::npos) << name;
  EXPECT_EQ(ask({{"SessionId", "../../evil"}, {"FunctionName", "HalvorantForceRelease"}}), Values{});

  Params names = {{"FunctionName", "Echo"}, {"LibDir", "../Nox"}, {"ComName", "NoxCryptAdapter"},
                  {"minServerVersion", "1.0.0.0"}};
  EXPECT_EQ(ask(names), (Values{{"result", "61009"}}));
  names = {{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Nox"}, {"ComName", "../../Nox/NoxCryptAdapter"},
           {"minServerVersion", "1.0.0.0"}};
  EXPECT_EQ(ask(names), (Values{{"result", "61902"}}));

  std::set<std::string> after;
  for (const auto& entry : fs::directory_iterator(parent)) after.insert(entry.path().filename());
  for (const std::string& name : after) EXPECT_EQ(name.find("evil"), std::string::npos) << name;
  EXPECT_TRUE(fs::exists(service_.dir() + "/Nox/NoxCryptAdapter.dylib"));
  for (const std::string& name : workFiles()) EXPECT_EQ(name.rfind("NoxCryptAdapter", 0), std::string::npos) << name;
}

TEST_F(SessionWire, ValueStoreAcrossOrigins) {
  ASSERT_EQ(openCrypt("Writer_1", {}, "https://a.test")["result"], "0");
  ASSERT_EQ(openCrypt("Reader_1", {}, "https://b.test")["result"], "0");
  ASSERT_EQ(openCrypt("Other_1", {}, "https://c.test")["result"], "0");
  Values stored = ask({{"SessionId", "Writer_1"}, {"FunctionName", "setHalvorantValue"}, {"channel", "login"},
                       {"domain_list", "b.test"}, {"value", "token-42"}, {"timeout", "5"}},
                      "https://a.test");
  EXPECT_EQ(stored, (Values{{"result", "0"}}));
  Params read = {{"SessionId", "Reader_1"}, {"FunctionName", "getHalvorantValue"}, {"channel", "login"}};
  EXPECT_EQ(ask(read, "https://b.test"), (Values{{"result", "token-42"}}));
  read[0].second = "Other_1";
  EXPECT_EQ(ask(read, "https://c.test"), (Values{{"result", ""}}));
}

}  // namespace
