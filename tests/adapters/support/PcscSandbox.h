// A private PC/SC stack for tests: pcscd with the virtual reader "Virtual PCD 00 00" and the
// card emulator that inserts a virtual card, all inside fresh mount and network namespaces
// (support/pcsc-sandbox.sh). As root the namespaces are made directly; otherwise inside a
// user namespace (`unshare -r`). When neither works, start() fails and says why.
//
// Debian's pcscd always listens on /run/pcscd/pcscd.comm; the sandbox puts its own directory
// over /run, so outside the namespace the socket is socketPath(). Clients reach it through
// PCSCLITE_CSOCK_NAME, which libpcsclite reads once per process: every sandbox of one
// process therefore uses the same directory, one after the other.
//
//   noxtest::PcscSandbox pcsc;
//   ASSERT_TRUE(pcsc.start()) << pcsc.error();   // daemon up, reader listed
//   ASSERT_TRUE(pcsc.insert()) << pcsc.error();  // card seen by PC/SC
//   pcsc.remove(); pcsc.stopDaemon();
#pragma once

#include <signal.h>
#include <unistd.h>
#include <winscard.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "adapters/support/ChildProcess.h"

#ifndef NOX_PCSC_SANDBOX
#error "PC/SC tests need NOX_PCSC_SANDBOX (the sandbox script)"
#endif

namespace noxtest {

constexpr const char* kVirtualReader = "Virtual PCD 00 00";
constexpr const char* kVirtualAtr = "3b951381018073ff01000b";

class PcscSandbox {
 public:
  PcscSandbox() = default;
  PcscSandbox(const PcscSandbox&) = delete;
  PcscSandbox& operator=(const PcscSandbox&) = delete;
  ~PcscSandbox() { finish(); }

  // This process's sandbox directory (made once, removed when the process exits).
  static const std::string& dir() {
    struct Made {
      std::string path;
      Made() {
        char pattern[] = "/tmp/nox_pcsc_XXXXXX";
        if (mkdtemp(pattern) != nullptr) path = pattern;
      }
      ~Made() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
      }
    };
    static const Made made;
    return made.path;
  }
  static std::string socketPath() { return dir() + "/run/pcscd/pcscd.comm"; }
  // The environment entry that points a client at this process's sandbox.
  static std::string socketEnvironment() { return "PCSCLITE_CSOCK_NAME=" + socketPath(); }

  // Starts the daemon and waits until PC/SC lists the virtual reader.
  bool start() {
    if (dir().empty()) return fail("mkdtemp failed");
    setenv("PCSCLITE_CSOCK_NAME", socketPath().c_str(), 1);
    for (const char* tool : {"/usr/bin/unshare", "/usr/sbin/ip", "/usr/sbin/pcscd", "/usr/bin/vicc",
                             "/usr/lib/pcsc/drivers/serial/libifdvpcd.so", "/usr/lib/python3/dist-packages/Cryptodome"})
      if (access(tool, F_OK) != 0)
        return fail(std::string(tool) + " is missing: run scripts/setup.sh test");
    std::error_code ec;
    std::filesystem::remove_all(dir() + "/run", ec);
    std::filesystem::create_directories(dir() + "/run", ec);
    if (ec) return fail("cannot make " + dir() + "/run: " + ec.message());

    std::string errFile = dir() + "/sandbox.err";
    // Root makes the namespaces itself; anybody else inside a user namespace.
    std::vector<std::string> argv = {"/usr/bin/unshare", "--mount", "--net", "--", "/bin/bash", NOX_PCSC_SANDBOX, dir()};
    if (geteuid() != 0) argv.insert(argv.begin() + 1, "--map-root-user");
    if (!child_.start(argv, errFile)) return fail("cannot start the sandbox");
    std::string line = child_.readLine(30);
    if (line.rfind("started ", 0) != 0)
      return fail("the sandbox did not start (namespaces need root or user namespaces): '" + line + "' " +
                  fileText(errFile) + fileText(dir() + "/pcscd.log"));
    daemonPid_ = atoi(line.c_str() + 8);
    line = child_.readLine(90);
    if (line != "ready")
      return fail("pcscd did not get ready: '" + line + "' " + fileText(errFile) + fileText(dir() + "/pcscd.log"));
    // Ready when PC/SC lists the reader (the socket appears before the reader is loaded).
    if (!waitForState(SCARD_STATE_EMPTY | SCARD_STATE_PRESENT, 30))
      return fail("pcscd did not list " + std::string(kVirtualReader) + ": " + error_ + " " +
                  fileText(dir() + "/pcscd.log"));
    return true;
  }

  // Starts the card emulator and waits until PC/SC sees the card.
  bool insert() { return command("insert", "inserted") && waitForState(SCARD_STATE_PRESENT, 60); }
  // Stops the emulator and waits until PC/SC sees the reader empty.
  bool remove() { return command("remove", "removed") && waitForState(SCARD_STATE_EMPTY, 60); }
  // Stops the daemon (its readers go with it) and waits for it to exit.
  bool stopDaemon() { return command("stop", "stopped"); }
  // Stops / resumes the daemon's process: it keeps its socket but answers nothing meanwhile.
  bool freezeDaemon() { return daemonPid_ > 0 && kill(daemonPid_, SIGSTOP) == 0; }
  bool thawDaemon() { return daemonPid_ > 0 && kill(daemonPid_, SIGCONT) == 0; }

  const std::string& error() const { return error_; }

  // Waits until the virtual reader's state has one of the bits, for at most seconds.
  bool waitForState(DWORD bits, int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
      SCARDCONTEXT context = 0;
      LONG rv = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
      if (rv == SCARD_S_SUCCESS) {
        SCARD_READERSTATE state;
        memset(&state, 0, sizeof state);
        state.szReader = kVirtualReader;
        state.dwCurrentState = SCARD_STATE_UNAWARE;
        for (;;) {
          rv = SCardGetStatusChange(context, 1000, &state, 1);
          if (rv == SCARD_S_SUCCESS && (state.dwEventState & bits) != 0) {
            SCardReleaseContext(context);
            return true;
          }
          if ((rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) ||
              std::chrono::steady_clock::now() >= deadline)
            break;
          if (rv == SCARD_S_SUCCESS) state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        }
        SCardReleaseContext(context);
      }
      error_ = "last PC/SC answer " + std::to_string(rv);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the daemon is still starting
    }
    return false;
  }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  static std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str().empty() ? "" : "[" + path + ": " + text.str() + "]";
  }

  bool command(const std::string& what, const std::string& reply) {
    if (!child_.running()) return fail("the sandbox is not running");
    if (!child_.send(what)) return fail("write " + what);
    std::string got = child_.readLine(60);
    if (got != reply) return fail(what + ": sandbox said '" + got + "'");
    return true;
  }

  // End of input stops the emulator and the daemon (a frozen daemon is thawed first, or it
  // could not stop); the sandbox is waited for, and killed by its pid after 20 s.
  void finish() {
    if (daemonPid_ > 0) kill(daemonPid_, SIGCONT);
    child_.finish();
  }

  ChildProcess child_;
  pid_t daemonPid_ = -1;
  std::string error_;
};

}  // namespace noxtest
