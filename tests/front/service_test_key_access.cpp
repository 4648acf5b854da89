// What another local user can read of this user's service key: nothing. The service made
// its keys in the data directory (0700, keys 0600) under a home any user may enter; a
// second user then scans every file it can read in the build tree, the service's copy
// and working directories and that home for the keys' text and private values.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "support/OtherUser.h"
#include "support/ServiceHarness.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Text a scan can look for: the second line of the key's PEM text, and 12 bytes of its
// private value as the DER holds it (a window without a line break, for grep -F).
std::vector<std::string> keyPatterns(const std::string& pem) {
  std::vector<std::string> lines;
  std::istringstream in(pem);
  std::string body;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("-----", 0) == 0) continue;
    if (lines.empty()) lines.push_back(line);
    body += line;
  }
  std::string der = noxtest::base64Decode(body);
  // ECPrivateKey: version 1, then the private value as an OCTET STRING (GnuTLS writes 33
  // bytes, a zero first).
  size_t at = der.find(std::string("\x02\x01\x01\x04", 4));
  if (at == std::string::npos || at + 5 > der.size()) return {};
  std::string scalar = der.substr(at + 5, static_cast<unsigned char>(der[at + 4]));
  while (scalar.size() > 32 && scalar[0] == '\0') scalar.erase(0, 1);
  if (scalar.size() != 32) return {};
  for (size_t from = 0; from + 12 <= scalar.size(); ++from) {
    std::string window = scalar.substr(from, 12);
    if (window.find('\n') == std::string::npos && window.find('\0') == std::string::npos) {
      lines.push_back(window);
      break;
    }
  }
  return lines;
}

TEST(KeyAccess, AnotherUserReadsNoKeyMaterial) {
  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  ASSERT_NE(service.output().find("NoxHalvorant initialization: Success"), std::string::npos) << service.output();
  ASSERT_EQ(noxtest::postForm(54469, "", "https://a.test", "", noxtest::echoJson()).values()["result"], "0");

  // Only the data directory itself keeps others out: its parent is open to everybody, as
  // ~/.local/share usually is.
  const std::string home = noxtest::DataHome::path(), dir = noxtest::dataDirectory();
  ASSERT_EQ(chmod(home.c_str(), 0755), 0);

  char pattern[] = "/tmp/nox_key_scan_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string scan = pattern;
  ASSERT_EQ(chmod(scan.c_str(), 0755), 0);
  std::string patterns;
  for (const char* name : {"/localhost-key.pem", "/NoxHalvorant-CA-key.pem"}) {
    std::vector<std::string> found = keyPatterns(readFile(dir + name));
    ASSERT_EQ(found.size(), 2u) << name;
    for (const std::string& p : found) patterns += p + "\n";
  }
  { std::ofstream(scan + "/patterns", std::ios::binary) << patterns; }
  // The scan must find what it looks for where it can read it.
  ASSERT_EQ(mkdir((scan + "/tree").c_str(), 0755), 0);
  { std::ofstream(scan + "/tree/control", std::ios::binary) << "x" << patterns.substr(0, patterns.find('\n')) << "x"; }
  chmod((scan + "/patterns").c_str(), 0644);
  chmod((scan + "/tree/control").c_str(), 0644);

  const std::string roots = noxtest::shellQuote(fs::path(NOX_BIN_DIR).parent_path().string()) + " " +
                            noxtest::shellQuote(service.dir()) + " /tmp/NoxHalvorant " + noxtest::shellQuote(home) +
                            " " + noxtest::shellQuote(scan + "/tree");
  const std::string find = "find " + roots + " -type f -readable";
  noxtest::OtherUserRun run = noxtest::runAsOtherUser(
      "echo readable $(" + find + " 2>/dev/null | wc -l); " + find + " -print0 2>/dev/null | "
      "LC_ALL=C xargs -0 -r grep -l -a -F -f " + noxtest::shellQuote(scan + "/patterns") + " 2>/dev/null; true");
  ASSERT_TRUE(run.started) << run.why;
  fs::remove_all(scan);
  EXPECT_EQ(service.stop(), 0) << service.output();

  // It saw the build tree, and found only the control.
  std::istringstream lines(run.output);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line)) << run.output;
  ASSERT_EQ(line.rfind("readable ", 0), 0u) << run.output;
  EXPECT_GT(std::stoul(line.substr(9)), 100u) << "the second user could read almost nothing: " << run.output;
  std::vector<std::string> hits;
  while (std::getline(lines, line)) hits.push_back(line);
  EXPECT_EQ(hits, std::vector<std::string>{scan + "/tree/control"}) << run.output;
}

}  // namespace
