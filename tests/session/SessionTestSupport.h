// Shared fixture of the session tests: a private temporary tree holding an "executable
// directory" with installed test adapters and a copy directory, the session manager
// started on it, and a helper that runs one request through HalvorantSession_Process.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "diag/Console.h"
#include "map/Json.h"
#include "session/HalvorantQueue.h"
#include "session/HalvorantSession.h"
#include "session/SessionTable.h"
#include "util/Tool.h"

namespace sessiontest {

namespace fs = std::filesystem;

using Params = std::vector<std::pair<std::string, std::string>>;

// An answer map as plain texts; null when processing returned no map.
struct Answer {
  bool null = true;
  std::map<std::string, std::string> keys;
  bool has(const std::string& key) const { return keys.count(key) != 0; }
  std::string get(const std::string& key) const {
    auto it = keys.find(key);
    return it == keys.end() ? std::string("<absent>") : it->second;
  }
};

inline std::string jsonQuote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

inline std::string toJson(const Params& params) {
  std::string json = "{";
  for (size_t i = 0; i < params.size(); ++i)
    json += (i ? "," : "") + jsonQuote(params[i].first) + ":" + jsonQuote(params[i].second);
  return json + "}";
}

inline std::string slurp(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline int openSlots() {
  int open = 0;
  for (const HalvorantSessionSlot& slot : SessionList)
    if (slot.sessionId != nullptr && slot.sessionId[0] != '\0') ++open;
  return open;
}

inline int slotOf(const std::string& id) {
  for (int i = 0; i < HALVORANT_SESSION_SLOTS; ++i)
    if (SessionList[i].sessionId != nullptr && id == SessionList[i].sessionId) return i;
  return -1;
}

inline size_t entries(const fs::path& dir) {
  std::error_code ec;
  size_t count = 0;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it) ++count;
  return count;
}

class SessionFixture : public ::testing::Test {
 protected:
  fs::path root, exeDir, copyDir, trace;

  // Installed test adapters: Fix/<fixture>.dylib and the shipped ones under Nox/.
  static constexpr const char* kFixtures[] = {"probe",         "string_only",  "no_entry",   "code_version",
                                               "empty_version", "null_version", "old_version"};

  void SetUp() override {
    char pattern[] = "/tmp/nox_session_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root = pattern;
    exeDir = root / "exe";
    copyDir = root / "copy";
    trace = root / "trace.txt";
    setenv("NOX_FIXTURE_TRACE", trace.c_str(), 1);
    setLogSearchRoot(root.c_str());  // not /tmp/NoxHalvorant, which service tests use
    installTree(exeDir);
    startManager(copyDir, exeDir);
  }

  void TearDown() override {
    HalvorantSession_Final();
    std::error_code ec;
    fs::permissions(root, fs::perms::owner_all, ec);
    fs::remove_all(root, ec);
    unsetenv("NOX_FIXTURE_TRACE");
    setLogSearchRoot(nullptr);
  }

  static void installTree(const fs::path& exe) {
    fs::create_directories(exe / "Fix");
    fs::create_directories(exe / "Nox");
    for (const char* name : kFixtures)
      fs::copy_file(fs::path(NOX_SESSION_FIXTURES) / (std::string(name) + ".dylib"),
                    exe / "Fix" / (std::string(name) + ".dylib"));
    for (const char* name : {"NoxCryptAdapter", "NoxPkiCryptAdapter", "NoxIdAdapter"})
      fs::copy_file(fs::path(NOX_ADAPTER_DIR) / (std::string(name) + ".dylib"),
                    exe / "Nox" / (std::string(name) + ".dylib"));
  }

  // Restarts the manager on other directories (the current sessions are released).
  static void startManager(const fs::path& copy, const fs::path& exe) {
    HalvorantSession_Final();
    HalvorantSession_Init(copy.c_str(), exe.c_str());
    HalvorantQueue_initQueue();
  }

  static Answer process(const Params& params, const char* origin = "https://a.test") {
    std::string json = toJson(params);
    HalvorantJsonMap* request = getHalvorantJsonMap(json.c_str());
    EXPECT_NE(request, nullptr) << json;
    Answer answer;
    if (request == nullptr) return answer;
    std::string originText = origin;
    HalvorantJsonMap* result = HalvorantSession_Process(0, request, originText.data(), nullptr);
    freeHalvorantJsonMap(request);
    if (result == nullptr) return answer;
    answer.null = false;
    for (int i = 0; i < result->count; ++i)
      answer.keys[result->units[i].key] = result->units[i].value != nullptr ? result->units[i].value : "";
    freeHalvorantJsonMap(result);
    return answer;
  }

  // Opens a session on a test adapter with Echo; the page chooses the identifier.
  static Answer open(const std::string& sessionId, const std::string& comName = "probe",
                     const Params& extra = {}) {
    Params params = {{"FunctionName", "Echo"}, {"PathID", "none"}, {"LibDir", "Fix"},
                     {"ComName", comName},     {"minServerVersion", "1.0.0.0"}};
    if (!sessionId.empty()) params.push_back({"SessionId", sessionId});
    params.insert(params.end(), extra.begin(), extra.end());
    return process(params);
  }

  static Answer call(const std::string& sessionId, const std::string& function, const Params& extra = {}) {
    Params params = {{"SessionId", sessionId}, {"FunctionName", function}};
    params.insert(params.end(), extra.begin(), extra.end());
    return process(params);
  }

  // After an allocation failure a session may stay open under a new identifier (its
  // answer went to the page); every slot is then whole, free ones hold nothing, and each
  // copy belongs to one.
  void expectSlotsWhole() const {
    size_t copies = 0;
    for (const HalvorantSessionSlot& slot : SessionList) {
      if (slot.sessionId == nullptr) {
        EXPECT_EQ(slot.library, nullptr);
        EXPECT_EQ(slot.adapterPath[0], '\0');
      } else {
        EXPECT_NE(slot.library, nullptr);
        copies += slot.ownCopy != 0 ? 1 : 0;
      }
    }
    EXPECT_EQ(entries(copyDir), copies);
  }

  // Shutdown releases every session and leaves no copy; the manager then starts again.
  void expectFinalLeavesNothing() const {
    testing::internal::CaptureStdout();
    HalvorantSession_Final();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(openSlots(), 0);
    EXPECT_EQ(entries(copyDir), 0u);
    startManager(copyDir, exeDir);
  }

  int releaseCount() const {
    std::string text = slurp(trace);
    size_t count = 0;
    for (size_t at = text.find("release "); at != std::string::npos; at = text.find("release ", at + 1)) ++count;
    return static_cast<int>(count);
  }
};

}  // namespace sessiontest
