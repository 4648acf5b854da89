// PKI adapter round trips over the wire: a private SoftHSM2 token (EC P-256 and RSA-2048),
// the scripted dialog (it answers at once, so no dialog time is counted), one keep-alive
// TLS connection, one session per run. Two runs:
//   softhsm  SoftHSM2 alone in the module registry;
//   opensc   opensc beside it, with a card opensc does not know in a private PC/SC stack
//            (the tests' virtual reader and card), as on a desktop with a foreign card in.
// Usage: nox_bench_pki [COUNT]; prints per run and call:
//   <run> list median <ms> p99 <ms>
//   <run> sign ES256 median <ms> p99 <ms>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "adapters/support/PcscSandbox.h"
#include "support/ServiceHarness.h"

namespace fs = std::filesystem;

namespace {

double at(std::vector<double> values, double quantile) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<size_t>(quantile * static_cast<double>(values.size())))];
}

const std::string kHead = "{\"PathID\":\"5B72E1C3DA5F4E8C9F16B2D3E4051627\",\"minServerVersion\":\"1.0.0.0\",";

// Times count calls of json (after a warm-up); false when an answer lacks want.
bool timed(noxtest::Client& client, noxtest::Request r, const std::string& json, const std::string& want, int count,
           std::vector<double>* ms) {
  r.json = json;
  for (int i = 0; i < count + 2; ++i) {
    auto start = std::chrono::steady_clock::now();
    noxtest::Answer a = client.send(r);
    double took = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (!a.ok() || a.values()["result"].find(want) == std::string::npos) {
      fprintf(stderr, "pki: bad answer: %s %s\n", a.error.c_str(), a.body.c_str());
      return false;
    }
    if (i >= 2) ms->push_back(took);
  }
  return true;
}

// One run: the service with the registry of modules, listing and signing count times each.
bool run(const char* name, const std::string& dir, const std::vector<std::string>& modules, int count,
         bool signRsa) {
  fs::remove_all(dir + "/p11kit");
  fs::create_directories(dir + "/p11kit/modules");
  std::ofstream(dir + "/p11kit/pkcs11.conf") << "user-config: none\n";
  for (const std::string& m : modules)
    std::ofstream(dir + "/p11kit/modules/" + fs::path(m).stem().string() + ".module") << "module: " << m << "\n";
  setenv("NOX_TEST_P11KIT_DIR", (dir + "/p11kit").c_str(), 1);
  noxtest::Service service;
  if (!service.start() || !service.waitFor("NoxHalvorant initialization: Success", 60)) {
    fprintf(stderr, "pki: the service did not start\n%s\n", service.output().c_str());
    return false;
  }
  noxtest::Client client;
  noxtest::Request r;
  r.origin = "https://bench.test";
  r.timeoutMs = 120000;
  r.json = kHead + "\"FunctionName\":\"ListCertificates\"}";
  noxtest::Answer listed = client.send(r);
  std::string session = listed.values()["SessionID"];
  bool ok = !session.empty() && listed.values()["result"].find("\"id\":\"0f\"") != std::string::npos;
  if (!ok) fprintf(stderr, "pki: listing failed: %s\n", listed.body.c_str());
  std::string inSession = kHead + "\"SessionId\":\"" + session + "\",";
  std::vector<double> ms;
  if (ok && (ok = timed(client, r, inSession + "\"FunctionName\":\"ListCertificates\"}", "\"id\":\"0f\"", count, &ms)))
    printf("%s list median %.2f p99 %.2f\n", name, at(ms, 0.5), at(ms, 0.99));
  // SHA-256 of "abc".
  const std::string digest = "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=";
  for (const auto& key : {std::make_pair("ES256", "0f"), std::make_pair("RS256", "0e")}) {
    if (!ok || (!signRsa && key.second[1] == 'e')) break;
    ms.clear();
    std::string json = inSession + "\"FunctionName\":\"Sign\",\"CertificateId\":\"" + key.second +
                       "\",\"DigestAlgorithm\":\"SHA-256\",\"Digest\":\"" + digest + "\"}";
    if ((ok = timed(client, r, json, "\"signature\"", count, &ms)))
      printf("%s sign %s median %.2f p99 %.2f\n", name, key.first, at(ms, 0.5), at(ms, 0.99));
  }
  fflush(stdout);
  service.stop();
  return ok;
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

  const std::string softhsm = "/usr/lib/softhsm/libsofthsm2.so";
  bool ok = run("softhsm", dir, {softhsm}, count, true);
  if (ok) {
    // Each opensc scan with the foreign card takes seconds: fewer rounds.
    noxtest::PcscSandbox pcsc;
    if (!pcsc.start() || !pcsc.insert()) {
      fprintf(stderr, "pki: no PC/SC stack: %s\n", pcsc.error().c_str());
      ok = false;
    } else {
      ok = run("opensc", dir, {softhsm, "/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so"}, std::min(count, 15), false);
    }
  }
  fs::remove_all(dir, ec);
  return ok ? 0 : 1;
}
