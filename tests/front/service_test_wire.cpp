// The HTTPS front end over the wire: preflight, methods, TLS, Host and origin rules, answer
// headers, body limits, concurrent requests and the key's absence from memory.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "support/ServiceHarness.h"

namespace {

using noxtest::Answer;
using noxtest::Request;

class Wire : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.start()) << service_.error() << service_.output();
    ASSERT_NE(service_.output().find("NoxHalvorant initialization: Success"), std::string::npos)
        << service_.output();
  }
  void TearDown() override { EXPECT_EQ(service_.stop(), 0) << service_.output(); }

  static Request post(const std::string& json, int port = noxtest::kPorts[0]) {
    Request r;
    r.port = port;
    r.origin = "https://a.test";
    r.json = json;
    return r;
  }

  noxtest::Service service_;
};

// An Echo answer: the request reached processing and came back whole.
void expectEcho(const Answer& a, const std::string& context) {
  ASSERT_TRUE(a.ok()) << context << ": " << a.error;
  EXPECT_EQ(a.status, 200) << context;
  auto values = a.values();
  EXPECT_EQ(values["result"], "0") << context << " " << a.body;
  EXPECT_EQ(values["ServerVersion"], "1.0.23.0510") << context;
  EXPECT_FALSE(values["SessionID"].empty()) << context;
}

void expectResult(const Answer& a, const std::string& result, const std::string& context) {
  ASSERT_TRUE(a.ok()) << context << ": " << a.error;
  EXPECT_EQ(a.status, 200) << context;
  EXPECT_EQ(a.values(), (std::map<std::string, std::string>{{"result", result}})) << context << " " << a.body;
}

void expectClosed(const Answer& a, const std::string& context) {
  EXPECT_FALSE(a.ok()) << context << ": got status " << a.status << " " << a.body;
  EXPECT_LT(a.status, 200) << context;  // nothing, or only "100 Continue"
}

TEST_F(Wire, PreflightAndMethods) {
  Request preflight;
  preflight.method = "OPTIONS";
  preflight.origin = "https://a.test";
  preflight.headers = {"Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: true"};
  Answer a = noxtest::send(preflight);
  ASSERT_TRUE(a.ok()) << a.error;
  EXPECT_EQ(a.status, 204);
  EXPECT_TRUE(a.body.empty());
  std::vector<std::string> ours;
  for (const auto& h : a.headers)
    if (h.first.rfind("Access-Control-", 0) == 0 || h.first == "Keep-Alive") ours.push_back(h.first + ": " + h.second);
  EXPECT_EQ(ours, (std::vector<std::string>{"Access-Control-Allow-Origin: https://a.test",
                                            "Access-Control-Allow-Methods: POST",
                                            "Access-Control-Allow-Private-Network: true",
                                            "Access-Control-Max-Age: 30"}));

  struct Case {
    const char* name;
    const char* method;
    std::vector<std::string> headers;
  };
  const Case refused[] = {
      {"no private-network header", "OPTIONS", {"Access-Control-Request-Method: POST"}},
      {"asks for GET", "OPTIONS",
       {"Access-Control-Request-Method: GET", "Access-Control-Request-Private-Network: true"}},
      {"private network TRUE", "OPTIONS",
       {"Access-Control-Request-Method: POST", "Access-Control-Request-Private-Network: TRUE"}},
      {"GET", "GET", {}},
      {"PUT", "PUT", {}},
  };
  for (const Case& c : refused) {
    Request r;
    r.method = c.method;
    r.origin = "https://a.test";
    r.headers = c.headers;
    expectClosed(noxtest::send(r), c.name);
  }
  EXPECT_GE(service_.count("Request method error: OPTIONS"), 3u) << service_.output();
  EXPECT_GE(service_.count("Request method error: GET"), 1u);
}

TEST_F(Wire, HostRule) {
  struct Case {
    std::string host;
    bool ipv6;
    bool local;
  };
  const Case cases[] = {
      {"", false, true},  // curl's own Host: localhost:54469
      {"127.0.0.1:54469", false, true},
      {"localhost:54469", true, true},  // the IPv6 listener, named as localhost
      {"[::1]:54469", true, false},
      {"[::1]:54469", false, false},
      {"localhost", false, false},
      {"127.0.0.1", false, false},
      {"evil.test:54469", false, false},
  };
  for (const Case& c : cases) {
    Request r = post(noxtest::echoJson());
    r.host = c.host;
    r.ipv6 = c.ipv6;
    Answer a = noxtest::send(r);
    std::string context = "Host " + c.host + (c.ipv6 ? " over [::1]" : "");
    if (c.local) {
      expectEcho(a, context);
    } else {
      expectResult(a, "61904", context);
      EXPECT_FALSE(a.has("Access-Control-Allow-Origin")) << context;
    }
  }
  EXPECT_GE(service_.count("This connection is NOT from localhost"), 5u);

  // A Host smuggled in as a query argument or cookie does not count.
  Request smuggled = post(noxtest::echoJson());
  smuggled.host = "evil.test:54469";
  smuggled.path = "/?host=localhost:54469";
  smuggled.headers = {"Cookie: host=localhost:54469"};
  expectResult(noxtest::send(smuggled), "61904", "smuggled host");
}

TEST_F(Wire, OriginFromHeadersOrReferer) {
  struct Case {
    std::string name, origin, referer;
    std::string expectedOrigin;  // empty: refused with 61012
  };
  const Case cases[] = {
      {"origin header", "https://a.test", "", "https://a.test"},
      {"referer only", "", "https://b.test:8443/x/y.html", "https://b.test:8443"},
      {"origin null, referer", "null", "https://c.test/p", "https://c.test"},
      {"origin null, referer abc", "null", "abc", ""},
      {"nothing", "", "", ""},
      {"both null", "null", "null", ""},
      {"referer a/b", "", "a/b", ""},
  };
  for (const Case& c : cases) {
    Answer a = noxtest::postForm(noxtest::kPorts[1], "", c.origin, c.referer, noxtest::echoJson());
    if (c.expectedOrigin.empty()) {
      expectResult(a, "61012", c.name);
      EXPECT_FALSE(a.has("Access-Control-Allow-Origin")) << c.name;
    } else {
      expectEcho(a, c.name);
      EXPECT_EQ(a.header("Access-Control-Allow-Origin"), c.expectedOrigin) << c.name;
    }
  }
  EXPECT_NE(service_.output().find("New Origin: https://b.test:8443"), std::string::npos);
  EXPECT_NE(service_.output().find("UrlList error: "), std::string::npos);

  // Only the browser's headers name the origin: query arguments and cookies do not.
  Request r;
  r.port = noxtest::kPorts[1];
  r.json = noxtest::echoJson();
  r.path = "/?origin=https://d.test&referer=https://d.test/x";
  r.headers = {"Cookie: origin=https://d.test; referer=https://d.test/x"};
  expectResult(noxtest::send(r), "61012", "smuggled origin");
  EXPECT_EQ(service_.output().find("d.test"), std::string::npos);
}

TEST_F(Wire, AnswerHeaders) {
  struct Case {
    std::string name, origin;
    std::vector<std::string> headers;
    bool allowOrigin, keepAlive;
  };
  const Case cases[] = {
      {"plain", "https://a.test", {}, true, false},
      {"keep-alive", "https://a.test", {"Connection: keep-alive"}, true, true},
      {"Keep-Alive in capitals", "https://a.test", {"Connection: KEEP-ALIVE"}, true, true},
      {"close", "https://a.test", {"Connection: close"}, true, false},
      {"extension origin", "chrome-extension://abc", {"Connection: keep-alive"}, false, true},
  };
  for (const Case& c : cases) {
    Answer a = noxtest::postForm(noxtest::kPorts[2], "", c.origin, "", noxtest::echoJson(), c.headers);
    expectEcho(a, c.name);
    EXPECT_EQ(a.has("Access-Control-Allow-Origin"), c.allowOrigin) << c.name;
    EXPECT_EQ(a.has("Keep-Alive"), c.keepAlive) << c.name;
    if (c.keepAlive) {
      EXPECT_EQ(a.header("Keep-Alive"), "timeout=15, max=100") << c.name;
    }
    EXPECT_EQ(a.header("X-XSS-Protection"), "1; mode=block") << c.name;
    std::vector<std::string> order;
    for (const auto& h : a.headers)
      if (h.first == "Access-Control-Allow-Origin" || h.first == "Keep-Alive" || h.first == "X-XSS-Protection")
        order.push_back(h.first);
    std::vector<std::string> expected;
    if (c.allowOrigin) expected.push_back("Access-Control-Allow-Origin");
    if (c.keepAlive) expected.push_back("Keep-Alive");
    expected.push_back("X-XSS-Protection");
    EXPECT_EQ(order, expected) << c.name;
    EXPECT_FALSE(a.has("Content-Type")) << c.name;
  }
}

TEST_F(Wire, TlsVersionsAndSourceAddress) {
  Request tls12 = post(noxtest::echoJson());
  tls12.tlsMax = CURL_SSLVERSION_MAX_TLSv1_2;
  expectEcho(noxtest::send(tls12), "TLS 1.2");
  EXPECT_NE(service_.output().find("TLS version: TLS 1.2"), std::string::npos);
  expectEcho(noxtest::send(post(noxtest::echoJson())), "TLS 1.3");
  EXPECT_NE(service_.output().find("TLS version: TLS 1.3"), std::string::npos);

  Request tls11 = post(noxtest::echoJson());
  tls11.tlsMin = CURL_SSLVERSION_TLSv1_0;
  tls11.tlsMax = CURL_SSLVERSION_MAX_TLSv1_1;
  Answer old = noxtest::send(tls11);
  EXPECT_FALSE(old.ok());
  EXPECT_EQ(old.status, 0);

  // The IPv4 listeners admit 127.0.0.1 only.
  Request other = post(noxtest::echoJson());
  other.interface = "127.0.0.2";
  expectClosed(noxtest::send(other), "from 127.0.0.2");
  ASSERT_TRUE(service_.waitFor("Illegal connection ip: ", 5)) << service_.output();
  std::string out = service_.output();
  size_t at = out.find("Illegal connection ip: ");
  std::string bytes = out.substr(at + 23, out.find('\n', at) - at - 23);
  // port (2 bytes), 127.0.0.2, eight zero bytes
  EXPECT_NE(bytes.find(".127.0.0.2.0.0.0.0.0.0.0.0"), std::string::npos) << bytes;
}

TEST_F(Wire, BodiesThatAreNotAnswered) {
  Request json = post("");
  json.rawBody = true;
  json.contentType = "application/json";
  json.body = noxtest::echoJson();
  expectClosed(noxtest::send(json), "JSON body");

  expectClosed(noxtest::send(post("{\"FunctionName\":")), "Base64 of a broken JSON text");

  Request noField = post("");
  noField.rawBody = true;
  noField.contentType = "application/x-www-form-urlencoded";
  noField.body = "Other=" + noxtest::base64Encode(noxtest::echoJson());
  expectClosed(noxtest::send(noField), "no Parameter field");

  // Just under the limit is answered; past it the connection closes unread.
  std::string padding(700 * 1024, 'x');
  expectEcho(noxtest::send(post(noxtest::echoJson("\"pad\":\"" + padding + "\""))), "Parameter under 1 MiB");
  std::string more(800 * 1024, 'x');  // Base64 makes it about 1.07 MiB
  expectClosed(noxtest::send(post(noxtest::echoJson("\"pad\":\"" + more + "\""))), "Parameter over 1 MiB");
  EXPECT_NE(service_.output().find("Request body error: Parameter too long"), std::string::npos);

  // A refused request leaves nothing behind for the next one.
  Request refused = post(noxtest::echoJson("\"minServerVersion\":\"9.9.9.9\""));
  refused.host = "[::1]:54469";
  expectResult(noxtest::send(refused), "61904", "refused by Host");
  expectEcho(noxtest::send(post(noxtest::echoJson())), "after a refusal");
}

TEST_F(Wire, SimultaneousPostsKeepTheirOwnBodies) {
  // An Echo and a version refusal at the same moment on different listeners, many times:
  // each must get the answer of its own body.
  constexpr int kRounds = 12;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0};
    Answer echo, refused;
    auto go = [&ready](Answer* out, Request r) {
      noxtest::Client client;
      ready.fetch_add(1);
      while (ready.load() < 2) std::this_thread::yield();
      *out = client.send(r);
    };
    Request a = post(noxtest::echoJson(), noxtest::kPorts[round % 3]);
    Request b = post("{\"FunctionName\":\"Echo\",\"PathID\":\"" + std::string(noxtest::kEchoPathId) +
                         "\",\"minServerVersion\":\"9.0.0.0\"}",
                     noxtest::kPorts[(round + 1) % 3]);
    b.ipv6 = round % 2 == 1;
    std::thread first(go, &echo, a), second(go, &refused, b);
    first.join();
    second.join();
    expectEcho(echo, "round " + std::to_string(round));
    expectResult(refused, "61203", "round " + std::to_string(round));
  }
}

// One region of the process that holds data written at run time: a writable or anonymous
// mapping, named as in /proc/<pid>/maps ([stack], [heap], a file, or "anonymous").
struct Region {
  std::string name;
  unsigned long start = 0;
  std::string bytes;
};

std::vector<Region> runtimeMemory(pid_t pid) {
  std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
  int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
  std::vector<Region> regions;
  if (mem < 0) return regions;
  std::string line;
  while (std::getline(maps, line)) {
    std::istringstream fields(line);
    std::string range, perms, offset, device, inode, path;
    fields >> range >> perms >> offset >> device >> inode >> path;
    if (perms[0] != 'r' || path == "[vvar]" || path == "[vsyscall]") continue;
    if (perms[1] != 'w' && !path.empty()) continue;  // file text and constants
    Region r;
    r.name = path.empty() ? "anonymous" : path;
    r.start = std::stoul(range.substr(0, range.find('-')), nullptr, 16);
    unsigned long end = std::stoul(range.substr(range.find('-') + 1), nullptr, 16);
    r.bytes.assign(end - r.start, '\0');
    ssize_t n = pread(mem, &r.bytes[0], r.bytes.size(), static_cast<off_t>(r.start));
    r.bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    regions.push_back(std::move(r));
  }
  close(mem);
  return regions;
}

// Every place of text in the regions, as "name +offset (address)".
std::vector<std::string> findIn(const std::vector<Region>& regions, const std::string& text) {
  std::vector<std::string> places;
  for (const Region& r : regions)
    for (size_t at = r.bytes.find(text); at != std::string::npos; at = r.bytes.find(text, at + 1)) {
      char place[200];
      snprintf(place, sizeof place, "%s at 0x%lx (+0x%zx of 0x%zx bytes)", r.name.c_str(), r.start + at, at,
               r.bytes.size());
      places.emplace_back(place);
    }
  return places;
}

// The private scalar of a P-256 key's PEM text (PKCS #8): the OCTET STRING after the
// ECPrivateKey's version 1, without the leading zero GnuTLS writes; empty when not found.
std::string privateScalar(const std::string& pem) {
  std::string body;
  std::istringstream lines(pem);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("-----", 0) != 0) body += line;
  std::string der = noxtest::base64Decode(body);
  size_t at = der.find(std::string("\x02\x01\x01\x04", 4));
  if (at == std::string::npos || at + 5 > der.size()) return std::string();
  std::string scalar = der.substr(at + 5, static_cast<unsigned char>(der[at + 4]));
  while (scalar.size() > 32 && scalar[0] == '\0') scalar.erase(0, 1);
  return scalar;
}

// The service's memory after it served with this user's key: the start that made the keys
// and a later start that loaded them. No text of either key (the listeners' leaf key, the
// CA key used to issue it) stays readable, and nothing of the CA key at all (the TLS
// library keeps the leaf key in forms of its own).
TEST_F(Wire, NoKeyTextInMemory) {
  EXPECT_EQ(service_.stop(), 0) << service_.output();
  char pattern[] = "/tmp/nox_wire_data_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string home = pattern;
  const std::string dir = home + "/noxhalvorant/";
  for (int round = 0; round < 2; ++round) {
    const std::string context = round == 0 ? "start that made the keys" : "start that loaded them";
    noxtest::ServiceOptions options;
    options.environment = {"XDG_DATA_HOME=" + home};
    noxtest::Service service(options);
    ASSERT_TRUE(service.start()) << service.error() << service.output();
    ASSERT_NE(service.output().find("NoxHalvorant initialization: Success"), std::string::npos) << service.output();
    EXPECT_EQ(service.output().find("first start") != std::string::npos, round == 0) << context;
    Request echo = post(noxtest::echoJson());
    echo.caFile = dir + "NoxHalvorant-CA.pem";
    expectEcho(noxtest::send(echo), context);  // the listeners work with the key
    std::vector<Region> memory = runtimeMemory(service.pid());
    ASSERT_FALSE(findIn(memory, "/tmp/NoxHalvorant").empty()) << "the scan must see the service's data";
    bool sawStack = false;
    for (const Region& r : memory) sawStack = sawStack || (r.name == "[stack]" && !r.bytes.empty());
    ASSERT_TRUE(sawStack) << "the scan must see the main thread's stack";

    std::vector<std::pair<std::string, std::string>> probes = {{"PEM label", "PRIVATE KEY"}};
    for (const char* name : {"localhost-key.pem", "NoxHalvorant-CA-key.pem"}) {
      std::ifstream in(dir + name);
      std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ASSERT_GT(pem.size(), 100u) << name;
      std::string scalar = privateScalar(pem);
      ASSERT_EQ(scalar.size(), 32u) << name;
      // Tails only: the allocator writes its own links over the head of a freed block.
      probes.push_back({std::string(name) + " PEM body", pem.substr(pem.find('\n') + 1 + 16, 40)});
      if (std::string(name) == "NoxHalvorant-CA-key.pem") probes.push_back({"CA private value", scalar.substr(8)});
    }
    for (const auto& p : probes)
      for (const std::string& place : findIn(memory, p.second))
        ADD_FAILURE() << context << ": " << p.first << " found in " << place;
    EXPECT_EQ(service.stop(), 0) << service.output();
  }
  std::error_code ignored;
  std::filesystem::remove_all(home, ignored);
}

}  // namespace
