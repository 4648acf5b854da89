// A private copy of the PKI test token for one test, and the environment the service
// inherits to use it: SoftHSM2's configuration, the scripted pinentry and its directory, a
// fresh configuration home and the test PKCS#11 module's mode file (<dir>/shim). Needs
// NOX_PKI_TOKEN_DIR and NOX_SCRIPTED_PINENTRY.
#pragma once
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace noxtest {

inline void writeTextFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Copies the token into dir (an existing, empty directory); false with why set on failure.
inline bool preparePkiToken(const std::string& dir, std::string* why) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::copy(NOX_PKI_TOKEN_DIR, dir + "/token", fs::copy_options::recursive, ec);
  if (ec) {
    *why = ec.message();
    return false;
  }
  writeTextFile(dir + "/token/softhsm2.conf",
                "directories.tokendir = " + dir + "/token/tokens\nobjectstore.backend = file\nlog.level = ERROR\n");
  fs::create_directories(dir + "/dialog");
  fs::create_directories(dir + "/config");
  // The child inherits these; set here so they win over anything in the test's own environment.
  setenv("SOFTHSM2_CONF", (dir + "/token/softhsm2.conf").c_str(), 1);
  setenv("NOX_PINENTRY", NOX_SCRIPTED_PINENTRY, 1);
  setenv("NOX_TEST_PINENTRY_DIR", (dir + "/dialog").c_str(), 1);
  setenv("XDG_CONFIG_HOME", (dir + "/config").c_str(), 1);
  setenv("NOX_TEST_SHIM_FILE", (dir + "/shim").c_str(), 1);
  return true;
}

}  // namespace noxtest
