// Request rules and answer headers, without a connection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "front/HalvorantHttp.h"
#include "util/Tool.h"

namespace {

TEST(RequestRules, ProtocolVerdicts) {
  struct Case {
    int protocol;
    TlsVerdict verdict;
    const char* text;
  };
  const Case cases[] = {
      {4, kTlsAccepted, "TLS 1.2"}, {5, kTlsAccepted, "TLS 1.3"},   {200, kTlsAccepted, "DTLS 0.9"},
      {201, kTlsAccepted, "DTLS 1.0"}, {202, kTlsAccepted, "DTLS 1.2"}, {2, kTlsInsecure, "TLS 1.0"},
      {3, kTlsInsecure, "TLS 1.1"}, {1, kTlsUnknown, nullptr},      {0, kTlsUnknown, nullptr},
      {6, kTlsUnknown, nullptr},     {0xff, kTlsUnknown, nullptr},  {-1, kTlsUnknown, nullptr},
  };
  for (const Case& c : cases) {
    const char* text = "unset";
    EXPECT_EQ(classifyProtocol(c.protocol, &text), c.verdict) << c.protocol;
    if (c.text == nullptr) {
      EXPECT_EQ(text, nullptr) << c.protocol;
    } else {
      EXPECT_STREQ(text, c.text) << c.protocol;
    }
  }
}

TEST(RequestRules, LocalHost) {
  struct Case {
    const char* host;
    bool local;
  };
  const Case cases[] = {
      {"localhost:54469", true},     {"127.0.0.1:54569", true},  {"localhost:", true},  // port not examined
      {"localhost", false},          {"127.0.0.1", false},       {"[::1]:54469", false},
      {"LOCALHOST:54469", false},    {"localhost.evil.test:1", false}, {"127.0.0.10:54469", false},
      {"evil.test:54469", false},    {"", false},                {nullptr, false},
  };
  for (const Case& c : cases) EXPECT_EQ(isLocalHost(c.host), c.local) << (c.host ? c.host : "null");
}

TEST(RequestRules, OriginFromReferer) {
  struct Case {
    const char* referer;
    const char* origin;  // null: refused
  };
  const Case cases[] = {
      {"https://a.test/x/y.html", "https://a.test"},
      {"https://host:8443/path/page", "https://host:8443"},
      {"https://a.test", "https://a.test"},  // no path: still three pieces
      {"http://a.test/", "http://a.test"},
      {"abc", nullptr},
      {"a/b", nullptr},
      {"", nullptr},
      {"null", nullptr},
      {nullptr, nullptr},
  };
  testing::internal::CaptureStdout();
  for (const Case& c : cases) {
    char* origin = originFromReferer(c.referer);
    if (c.origin == nullptr) {
      EXPECT_EQ(origin, nullptr) << (c.referer ? c.referer : "null");
    } else {
      ASSERT_NE(origin, nullptr) << c.referer;
      EXPECT_STREQ(origin, c.origin);
    }
    freeMem(origin);
  }
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("UrlList[2]: "), std::string::npos);
  EXPECT_NE(out.find("UrlList error: "), std::string::npos);
  EXPECT_NE(out.find("Empty Referer: "), std::string::npos);
}

TEST(RequestRules, MainThreadFlag) {
  struct Case {
    const char* body;
    bool flagged;
  };
  const Case cases[] = {
      {"{\"MainThread\":true}", true},
      {"{\"a\":\"1\",\"HalvorantMainThread\":true}", true},
      {"{\"KeepAlive\":true,\"b\":2}", true},
      {"{\"MainThread\": true}", false},  // a space after the colon does not count
      {"{\"MainThread\":\"true\"}", false},
      {"{\"MainThread\":false}", false},
      {"{\"mainthread\":true}", false},
      {"{}", false},
      {nullptr, false},
  };
  for (const Case& c : cases) EXPECT_EQ(wantsMainThread(c.body), c.flagged) << (c.body ? c.body : "null");
}

std::vector<std::string> headerLines(int preflight, const char* origin, const char* connection) {
  AnswerHeader headers[kMaxAnswerHeaders];
  int count = answerHeaders(preflight, origin, connection, headers);
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) lines.push_back(std::string(headers[i].name) + ": " + headers[i].value);
  return lines;
}

TEST(AnswerHeaders, InOrder) {
  using Lines = std::vector<std::string>;
  struct Case {
    int preflight;
    const char* origin;
    const char* connection;
    Lines expected;
  };
  const Case cases[] = {
      {0, "https://a.test", nullptr,
       {"Access-Control-Allow-Origin: https://a.test", "X-XSS-Protection: 1; mode=block"}},
      {0, "https://a.test", "Keep-Alive",
       {"Access-Control-Allow-Origin: https://a.test", "Keep-Alive: timeout=15, max=100",
        "X-XSS-Protection: 1; mode=block"}},
      {0, "http://a.test", "keep-alive",
       {"Access-Control-Allow-Origin: http://a.test", "Keep-Alive: timeout=15, max=100",
        "X-XSS-Protection: 1; mode=block"}},
      {0, "chrome-extension://abc", "KEEP-ALIVE", {"Keep-Alive: timeout=15, max=100", "X-XSS-Protection: 1; mode=block"}},
      {0, "null", "close", {"X-XSS-Protection: 1; mode=block"}},
      {0, "", "keep-alive, Upgrade", {"X-XSS-Protection: 1; mode=block"}},
      {0, nullptr, nullptr, {"X-XSS-Protection: 1; mode=block"}},
      {1, "https://a.test", nullptr,
       {"Access-Control-Allow-Origin: https://a.test", "Access-Control-Allow-Methods: POST",
        "Access-Control-Allow-Private-Network: true", "Access-Control-Max-Age: 30"}},
      {1, "https://a.test", "keep-alive",
       {"Access-Control-Allow-Origin: https://a.test", "Keep-Alive: timeout=15, max=100",
        "Access-Control-Allow-Methods: POST", "Access-Control-Allow-Private-Network: true",
        "Access-Control-Max-Age: 30"}},
      {1, nullptr, nullptr,
       {"Access-Control-Allow-Methods: POST", "Access-Control-Allow-Private-Network: true",
        "Access-Control-Max-Age: 30"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(headerLines(c.preflight, c.origin, c.connection), c.expected)
        << c.preflight << " " << (c.origin ? c.origin : "null") << " " << (c.connection ? c.connection : "null");
  }
}

}  // namespace
