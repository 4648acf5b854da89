// Shared harness for service tests: starts the built service as a child process, reads its
// console output, talks to it over HTTPS with libcurl and stops it again. The service keeps
// its credentials in this test process's private data home (DataHome.h); clients trust the
// CA it made there.
//
// Header-only. Needs the compile definitions NOX_SERVICE_EXE and NOX_BIN_DIR (given to every
// service_test_*.cpp) and libcurl. Only processes started here are ever signalled, by pid.
//
//   noxtest::Service service;                       // copies the service into a temp dir
//   ASSERT_TRUE(service.start()) << service.output();
//   noxtest::Answer a = noxtest::postForm(54469, "localhost:54469", "https://a.test", "", json);
//   auto values = noxtest::decodeAnswer(a.body);      // {"result": "0", ...}
//   EXPECT_EQ(service.stop(), 0);                     // exit status, or -1
#pragma once

#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/WorkDirLock.h"

#ifndef NOX_SERVICE_EXE
#error "service tests need NOX_SERVICE_EXE"
#endif
#ifndef NOX_BIN_DIR
#error "service tests need NOX_BIN_DIR"
#endif

namespace noxtest {

namespace fs = std::filesystem;

constexpr int kPorts[3] = {54469, 54569, 54669};
constexpr const char* kEchoPathId = "3A61F0B2C94E4D7B8E05A1C2D3F40516";

// Console text without the colour sequences.
inline std::string plainText(const std::string& text) {
  static const std::regex colour("\033\\[[0-9;]*m");
  return std::regex_replace(text, colour, "");
}

// ---- Base64 (standard alphabet, with padding) ---------------------------------------------

inline std::string base64Encode(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += abc[v >> 18];
    out += abc[(v >> 12) & 63];
    out += abc[(v >> 6) & 63];
    out += abc[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += abc[v >> 18];
    out += abc[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += abc[v >> 18];
    out += abc[(v >> 12) & 63];
    out += abc[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

// Stops at '=' or at the first character outside the alphabet.
inline std::string base64Decode(const std::string& in) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  std::string out;
  unsigned acc = 0;
  int bits = 0;
  for (char c : in) {
    int v = value(c);
    if (v < 0) break;
    acc = (acc << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += static_cast<char>((acc >> bits) & 0xFF);
    }
  }
  return out;
}

// Decodes an answer body {"k": "b64", ...} into key -> decoded value. Keys and values of the
// service's answers hold no quotes, so a plain scan of quoted texts is enough.
inline std::map<std::string, std::string> decodeAnswer(const std::string& body) {
  std::map<std::string, std::string> values;
  std::vector<std::string> quoted;
  for (size_t at = body.find('"'); at != std::string::npos;) {
    size_t end = body.find('"', at + 1);
    if (end == std::string::npos) break;
    quoted.push_back(body.substr(at + 1, end - at - 1));
    at = body.find('"', end + 1);
  }
  for (size_t i = 0; i + 1 < quoted.size(); i += 2) values[quoted[i]] = base64Decode(quoted[i + 1]);
  return values;
}

// ---- The service as a child process --------------------------------------------------------

struct ServiceOptions {
  bool copy = true;                      // run a copy in a temporary directory (with bin/Nox/)
  std::vector<std::string> fixtureDirs;  // extra directories copied beside the copy
  std::vector<std::string> environment;  // "NAME=value" entries for the child (replacing inherited ones)
  std::vector<std::string> wrapper;      // runs the service through this command (its argv), e.g. a socket activator
  std::vector<std::string> arguments;    // the service's own arguments
};

class Service {
 public:
  explicit Service(ServiceOptions options = {}) : options_(std::move(options)) {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
  ~Service() {
    if (pid_ > 0) stop(5);
    lock_.release();
    if (!dir_.empty()) {
      std::error_code ignored;
      fs::remove_all(dir_, ignored);
    }
  }

  // Starts the service and waits for its "NoxHalvorant initialization: " line (Success or
  // Fail). waitText empty: returns as soon as the child runs.
  bool start(const std::string& waitText = "NoxHalvorant initialization: ", int seconds = 60) {
    if (!lock_.take()) return fail(lock_.error());
    char pattern[] = "/tmp/nox_service_XXXXXX";
    if (mkdtemp(pattern) == nullptr) return fail("mkdtemp");
    dir_ = pattern;
    exe_ = NOX_SERVICE_EXE;
    std::error_code ec;
    if (options_.copy) {
      exe_ = dir_ + "/NoxHalvorant";
      fs::copy_file(NOX_SERVICE_EXE, exe_, ec);
      if (ec) return fail("copy executable: " + ec.message());
      fs::path adapters = fs::path(NOX_BIN_DIR) / "Nox";
      if (fs::exists(adapters)) fs::copy(adapters, dir_ + "/Nox", fs::copy_options::recursive, ec);
      if (ec) return fail("copy adapters: " + ec.message());
      for (const std::string& fixture : options_.fixtureDirs) {
        fs::copy(fixture, dir_ + "/" + fs::path(fixture).filename().string(), fs::copy_options::recursive, ec);
        if (ec) return fail("copy fixture " + fixture + ": " + ec.message());
      }
    }
    log_ = dir_ + "/service.log";

    int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return fail("open log");
    // The options' entries replace inherited ones of the same name.
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      bool replaced = false;
      for (const std::string& o : options_.environment)
        replaced = replaced || entry.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0;
      if (!replaced) env.push_back(entry);
    }
    for (const std::string& e : options_.environment) env.push_back(e);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
      close(out);
      return fail("fork");
    }
    if (pid_ == 0) {
      setpgid(0, 0);  // a group of its own: a stop that must kill takes its children too
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      std::vector<char*> argv;
      for (const std::string& w : options_.wrapper) argv.push_back(const_cast<char*>(w.c_str()));
      argv.push_back(&exe_[0]);
      for (const std::string& a : options_.arguments) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execvpe(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    setpgid(pid_, pid_);  // whichever of the two runs first
    close(out);
    if (waitText.empty()) return true;
    return waitFor(waitText, seconds);
  }

  // Waits until the console output (colours removed) holds text after position from.
  bool waitFor(const std::string& text, int seconds, size_t from = 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      if (output().find(text, from) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= deadline || !running()) {
        return output().find(text, from) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  // Everything the service printed so far, colours removed.
  std::string output() const {
    std::ifstream in(log_, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return plainText(text.str());
  }

  // Number of times text occurs in the output.
  size_t count(const std::string& text) const {
    std::string all = output();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + text.size())) ++n;
    return n;
  }

  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      status_ = status;
      return false;
    }
    return true;
  }

  // Waits up to seconds for the child to exit by itself; its exit status, or -1.
  int waitExit(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (running()) {
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return exitStatus();
  }

  // SIGTERM to our child, then waits up to seconds (SIGKILL after that, to its process
  // group: a child it forked must not outlive it on the ports or in the work directory) and
  // reaps it. Returns the exit status, or -1 when it did not exit normally.
  int stop(int seconds = 30) {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      if (waitExit(seconds) < 0 && pid_ > 0) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        return -1;
      }
    }
    return exitStatus();
  }

  int exitStatus() const { return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1; }
  pid_t pid() const { return pid_; }
  const std::string& dir() const { return dir_; }
  const std::string& error() const { return error_; }

  // Takes the service lock ahead of start(), for a test that prepares the work directory
  // itself (the directory is emptied now, not again at start()).
  bool takeLock() {
    if (lock_.take()) return true;
    return fail(lock_.error());
  }

 private:
  bool fail(const std::string& what) {
    error_ = what;
    return false;
  }

  ServiceOptions options_;
  std::string dir_, exe_, log_, error_;
  pid_t pid_ = -1;
  int status_ = -1;
  WorkDirLock lock_;
};

// ---- HTTPS client ------------------------------------------------------------------------------

struct Answer {
  CURLcode code = CURLE_FAILED_INIT;  // CURLE_OK when an HTTP answer came back
  long status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // in the order received
  std::string body;
  std::string error;  // curl's error text

  bool ok() const { return code == CURLE_OK; }
  // Value of the first header of this name (ignoring case), or "" with found false.
  std::string header(const std::string& name, bool* found = nullptr) const {
    for (const auto& h : headers) {
      if (strcasecmp(h.first.c_str(), name.c_str()) == 0) {
        if (found) *found = true;
        return h.second;
      }
    }
    if (found) *found = false;
    return "";
  }
  bool has(const std::string& name) const {
    bool found = false;
    header(name, &found);
    return found;
  }
  // Header names in order, for order checks.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& h : headers) out.push_back(h.first);
    return out;
  }
  std::map<std::string, std::string> values() const { return decodeAnswer(body); }
};

struct Request {
  int port = kPorts[0];
  bool ipv6 = false;              // connect to [::1] instead of 127.0.0.1 (name stays localhost)
  std::string method = "POST";    // "POST", "OPTIONS", "GET"
  std::string path = "/";         // request target, query included
  std::string host;               // Host header; empty keeps localhost:PORT
  std::string origin;             // empty: no Origin header
  std::string referer;            // empty: no Referer header
  std::string json;               // POST: sent as Parameter=<url-encoded Base64 of json>
  bool rawBody = false;           // POST: send body as it is (with contentType)
  std::string body, contentType;
  std::vector<std::string> headers;  // extra "Name: value" lines
  long tlsMax = 0;                // CURL_SSLVERSION_MAX_* (0: library default)
  long tlsMin = CURL_SSLVERSION_TLSv1_2;
  std::string interface;          // CURLOPT_INTERFACE (source address)
  long timeoutMs = 30000;
  std::string caFile;             // the CA to trust; empty: the one in this process's data home
};

namespace detail {

inline size_t collectBody(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

inline size_t collectHeader(char* data, size_t size, size_t count, void* user) {
  auto* answer = static_cast<Answer*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    answer->headers.clear();  // a new status line (100 Continue first, then the answer)
    return size * count;
  }
  size_t colon = line.find(':');
  if (colon != std::string::npos) {
    std::string value = line.substr(colon + 1);
    size_t start = value.find_first_not_of(' ');
    answer->headers.emplace_back(line.substr(0, colon), start == std::string::npos ? "" : value.substr(start));
  }
  return size * count;
}

inline void curlGlobal() {
  static const bool once = (curl_global_init(CURL_GLOBAL_DEFAULT), true);
  (void)once;
}

}  // namespace detail

// A connection that may be reused for several requests (keep-alive).
class Client {
 public:
  Client() {
    detail::curlGlobal();
    curl_ = curl_easy_init();
  }
  ~Client() {
    if (curl_) curl_easy_cleanup(curl_);
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  Answer send(const Request& r) {
    Answer answer;
    if (curl_ == nullptr) return answer;
    curl_easy_reset(curl_);
    char error[CURL_ERROR_SIZE] = {0};
    std::string url = "https://localhost:" + std::to_string(r.port) + r.path;
    std::string resolve = "localhost:" + std::to_string(r.port) + ":" + (r.ipv6 ? "[::1]" : "127.0.0.1");
    curl_slist* resolveList = curl_slist_append(nullptr, resolve.c_str());
    curl_slist* headers = nullptr;
    if (!r.host.empty()) headers = curl_slist_append(headers, ("Host: " + r.host).c_str());
    if (!r.origin.empty()) headers = curl_slist_append(headers, ("Origin: " + r.origin).c_str());
    if (!r.referer.empty()) headers = curl_slist_append(headers, ("Referer: " + r.referer).c_str());
    if (r.rawBody && !r.contentType.empty())
      headers = curl_slist_append(headers, ("Content-Type: " + r.contentType).c_str());
    for (const std::string& h : r.headers) headers = curl_slist_append(headers, h.c_str());

    std::string body = r.body;
    if (r.method == "POST" && !r.rawBody) {
      std::string b64 = base64Encode(r.json);
      char* escaped = curl_easy_escape(curl_, b64.c_str(), static_cast<int>(b64.size()));
      body = std::string("Parameter=") + (escaped ? escaped : "");
      curl_free(escaped);
    }

    curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolveList);
    const std::string ca = r.caFile.empty() ? caFile() : r.caFile;
    curl_easy_setopt(curl_, CURLOPT_CAINFO, ca.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_SSLVERSION, r.tlsMin | r.tlsMax);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, r.timeoutMs);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, detail::collectBody);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &answer.body);
    curl_easy_setopt(curl_, CURLOPT_HEADERFUNCTION, detail::collectHeader);
    curl_easy_setopt(curl_, CURLOPT_HEADERDATA, &answer);
    if (!r.interface.empty()) curl_easy_setopt(curl_, CURLOPT_INTERFACE, r.interface.c_str());
    if (r.method == "POST") {
      curl_easy_setopt(curl_, CURLOPT_POST, 1L);
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
      curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    } else if (r.method != "GET") {
      curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, r.method.c_str());
      curl_easy_setopt(curl_, CURLOPT_NOBODY, 0L);
    }

    answer.code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &answer.status);
    answer.error = error[0] ? error : curl_easy_strerror(answer.code);
    curl_slist_free_all(headers);
    curl_slist_free_all(resolveList);
    return answer;
  }

 private:
  CURL* curl_ = nullptr;
};

// One request on a fresh connection.
inline Answer send(const Request& r) {
  Client client;
  return client.send(r);
}

// POST of a form whose field "Parameter" holds the Base64 of json, on a fresh connection to
// 127.0.0.1:port, verified against the CA the service made (caFile) for the name localhost. host empty
// keeps "localhost:PORT"; origin/referer empty send no such header.
inline Answer postForm(int port, const std::string& host, const std::string& origin, const std::string& referer,
                       const std::string& json, const std::vector<std::string>& extraHeaders = {}) {
  Request r;
  r.port = port;
  r.host = host;
  r.origin = origin;
  r.referer = referer;
  r.json = json;
  r.headers = extraHeaders;
  return send(r);
}

// The JSON of an Echo request for the test adapter.
inline std::string echoJson(const std::string& extra = "") {
  return std::string("{\"FunctionName\":\"Echo\",\"PathID\":\"") + kEchoPathId +
         "\",\"minServerVersion\":\"1.0.0.0\"" + (extra.empty() ? "" : "," + extra) + "}";
}

}  // namespace noxtest
