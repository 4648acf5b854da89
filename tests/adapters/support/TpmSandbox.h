// A software TPM with the PKCS#11 token "Nox TPM" for one test (support/tpm-sandbox.sh):
// swtpm and tpm2-abrmd on a private D-Bus bus, in a network namespace of their own (made
// directly as root, inside a user namespace otherwise). environment() gives what a client
// of tpm2-pkcs11 needs to reach it; <dir>/01.der, 02.der, 03.der are its certificates
// (RSA-2048, EC P-256, EC P-384).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "adapters/support/ChildProcess.h"

#ifndef NOX_TPM_SANDBOX
#error "needs NOX_TPM_SANDBOX (the sandbox script)"
#endif

namespace noxtest {

constexpr const char* kTpmModule = "/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so";

class TpmSandbox {
 public:
  TpmSandbox() {
    char pattern[] = "/tmp/nox_tpm_XXXXXX";
    if (mkdtemp(pattern) != nullptr) dir_ = pattern;
  }
  ~TpmSandbox() {
    child_.finish();
    std::error_code ignored;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }

  // Starts it and waits (at most 120 s) until the token holds its keys and certificates.
  bool start() {
    for (const char* tool : {"/usr/bin/swtpm", "/usr/sbin/tpm2-abrmd", "/usr/bin/tpm2_ptool", kTpmModule,
                             "/usr/lib/x86_64-linux-gnu/libtss2-tcti-tabrmd.so.0", "/usr/bin/certtool"})
      if (access(tool, F_OK) != 0) return fail(std::string(tool) + " is missing: run scripts/setup.sh test");
    if (dir_.empty()) return fail("mkdtemp failed");
    std::vector<std::string> argv = {"/usr/bin/unshare", "--net", "--", "/bin/bash", NOX_TPM_SANDBOX, dir_};
    if (geteuid() != 0) argv.insert(argv.begin() + 1, "--map-root-user");
    if (!child_.start(argv)) return fail("cannot start the sandbox");
    std::string line = child_.readLine(120);
    if (line.rfind("ready ", 0) != 0) return fail("the TPM sandbox said '" + line + "'");
    bus_ = line.substr(6);
    return true;
  }

  // "NAME=value" entries for a client of the token.
  std::vector<std::string> environment() const {
    return {"DBUS_SESSION_BUS_ADDRESS=" + bus_, "TPM2_PKCS11_TCTI=tabrmd:bus_type=session",
            "TPM2_PKCS11_STORE=" + dir_ + "/store"};
  }
  const std::string& dir() const { return dir_; }
  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  std::string dir_;
  std::string bus_;
  std::string error_;
  ChildProcess child_;
};

}  // namespace noxtest
