// Sign round trips over the wire: the PKI adapter with a private SoftHSM2 token (EC P-256
// and RSA-2048) and the scripted dialog, one keep-alive TLS connection, one session.
// Each round trip is a whole Sign: modules loaded, PIN dialog (a program started), login,
// signature. Usage: nox_bench_pki [COUNT]; prints per key:
//   sign ES256 median <ms> p99 <ms>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "support/ServiceHarness.h"

namespace fs = std::filesystem;

namespace {

double at(std::vector<double> values, double quantile) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(quantile * static_cast<double>(values.size())))];
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? atoi(argv[1]) : 200;
  if (count <= 0 || count > 100000) return 2;
  char pattern[] = "/tmp/nox_bench_pki_XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  std::string dir = pattern;
  std::error_code ec;
  fs::copy(NOX_PKI_TOKEN_DIR, dir + "/token", fs::copy_options::recursive, ec);
  if (ec) {
    fprintf(stderr, "pki: no test token at %s (target pki_test_token)\n", NOX_PKI_TOKEN_DIR);
    return 1;
  }
  std::ofstream(dir + "/token/softhsm2.conf")
      << "directories.tokendir = " << dir << "/token/tokens\nobjectstore.backend = file\nlog.level = ERROR\n";
  fs::create_directories(dir + "/dialog");
  std::ofstream(dir + "/dialog/script") << "confirm=ok\npin=1234\n";
  setenv("SOFTHSM2_CONF", (dir + "/token/softhsm2.conf").c_str(), 1);
  setenv("NOX_PINENTRY", NOX_SCRIPTED_PINENTRY, 1);
  setenv("NOX_TEST_PINENTRY_DIR", (dir + "/dialog").c_str(), 1);
  unsetenv("NOX_PKCS11_MODULE");

  int status = 0;
  {
    noxtest::Service service;
    if (!service.start() || !service.waitFor("NoxHalvorant initialization: Success", 60)) {
      fprintf(stderr, "pki: the service did not start\n%s\n", service.output().c_str());
      fs::remove_all(dir, ec);
      return 1;
    }
    noxtest::Client client;
    noxtest::Request r;
    r.origin = "https://bench.test";
    const std::string head = "{\"PathID\":\"5B72E1C3DA5F4E8C9F16B2D3E4051627\",\"minServerVersion\":\"1.0.0.0\",";
    r.json = head + "\"FunctionName\":\"ListCertificates\"}";
    noxtest::Answer listed = client.send(r);
    std::string session = listed.values()["SessionID"];
    if (session.empty() || listed.values()["result"].find("\"id\":\"0f\"") == std::string::npos) {
      fprintf(stderr, "pki: listing failed: %s\n", listed.body.c_str());
      status = 1;
    }
    // SHA-256 of "abc".
    const std::string digest = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
    struct Key {
      const char* name;
      const char* id;
    };
    for (const Key& key : {Key{"ES256", "0f"}, Key{"RS256", "0e"}}) {
      if (status != 0) break;
      r.json = head + "\"SessionId\":\"" + session + "\",\"FunctionName\":\"Sign\",\"CertificateId\":\"" + key.id +
               "\",\"DigestAlgorithm\":\"SHA-256\",\"Digest\":\"" + digest + "\"}";
      std::vector<double> ms;
      for (int i = 0; i < count + 10; ++i) {
        auto start = std::chrono::steady_clock::now();
        noxtest::Answer a = client.send(r);
        double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!a.ok() || a.values()["result"].find("\"signature\"") == std::string::npos) {
          fprintf(stderr, "pki: bad answer: %s %s\n", a.error.c_str(), a.body.c_str());
          status = 1;
          break;
        }
        if (i >= 10) ms.push_back(took);  // after a warm-up
      }
      if (status == 0) printf("sign %s median %.2f p99 %.2f\n", key.name, at(ms, 0.5), at(ms, 0.99));
    }
    service.stop();
  }
  fs::remove_all(dir, ec);
  return status;
}
