// A private data directory for the service's credentials, one per test process: the
// service under test makes its CA and key there (XDG_DATA_HOME), never in the home of the
// user who runs the tests. The first call makes the directory and sets XDG_DATA_HOME in
// this process, so every service it starts (whichever way) inherits it; the directory goes
// when the process exits.
//
//   noxtest::caFile()   // the CA a client of the service under test trusts
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace noxtest {

class DataHome {
 public:
  static const std::string& path() {
    static DataHome home;
    return home.path_;
  }
  ~DataHome() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }

 private:
  DataHome() {
    char pattern[] = "/tmp/nox_data_XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      perror("mkdtemp for XDG_DATA_HOME");
      abort();  // a test must never fall back to the real user's home
    }
    path_ = pattern;
    setenv("XDG_DATA_HOME", path_.c_str(), 1);
  }
  std::string path_;
};

// The service's data directory and its files under the private data home.
inline std::string dataDirectory() { return DataHome::path() + "/noxhalvorant"; }
inline std::string caFile() { return dataDirectory() + "/NoxHalvorant-CA.pem"; }

}  // namespace noxtest
