// Pieces of the soak test: a kept-alive HTTPS connection to one listener, a truncated TLS
// handshake, the service's resident memory and descriptors, and the register of request
// markers through which an answer that reached the wrong request is recognised.
#pragma once

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <mbedtls/sha256.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/ServiceHarness.h"

namespace soak {

struct Listener {
  int port;
  bool ipv6;
};
constexpr Listener kListeners[6] = {{54469, false}, {54469, true}, {54569, false},
                                    {54569, true},  {54669, false}, {54669, true}};
constexpr const char* kOrigin = "https://soak.test";

inline std::string sha256Hex(const std::string& text) {
  unsigned char digest[32];
  mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, 0);
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : digest) {
    out += hex[b >> 4];
    out += hex[b & 15];
  }
  return out;
}

// ---- One connection (kept alive across posts) -------------------------------------------

struct Reply {
  CURLcode code = CURLE_FAILED_INIT;
  long status = 0;
  std::string body;
  bool answered() const { return code == CURLE_OK && status == 200; }
  std::map<std::string, std::string> values() const { return noxtest::decodeAnswer(body); }
};

// curl_global_init must have run before (noxtest::detail::curlGlobal, before any thread).
class Connection {
 public:
  explicit Connection(Listener at, const char* origin = kOrigin) {
    curl_ = curl_easy_init();
    std::string port = std::to_string(at.port);
    url_ = "https://localhost:" + port + "/";
    resolve_ = curl_slist_append(nullptr, ("localhost:" + port + (at.ipv6 ? ":[::1]" : ":127.0.0.1")).c_str());
    form_ = curl_slist_append(nullptr, (std::string("Origin: ") + origin).c_str());
    json_ = curl_slist_append(curl_slist_append(nullptr, (std::string("Origin: ") + origin).c_str()),
                              "Content-Type: application/json");
    ca_ = noxtest::caFile();
    if (curl_ == nullptr) return;
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve_);
    curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_.c_str());
    curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(curl_, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT_MS, 20000L);
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_POST, 1L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
  }
  ~Connection() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
    curl_slist_free_all(resolve_);
    curl_slist_free_all(form_);
    curl_slist_free_all(json_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // POSTs json as the form field "Parameter" (Base64, URL-escaped).
  Reply post(const std::string& json) { return postForm(noxtest::base64Encode(json)); }

  // POSTs parameter (already Base64 or deliberately not) as the form field "Parameter".
  Reply postForm(const std::string& parameter) {
    char* escaped = curl_ ? curl_easy_escape(curl_, parameter.c_str(), static_cast<int>(parameter.size())) : nullptr;
    std::string body = std::string("Parameter=") + (escaped ? escaped : "");
    curl_free(escaped);
    return send(body, form_);
  }

  // POSTs body as it is with a JSON content type (not a form).
  Reply postJson(const std::string& body) { return send(body, json_); }

  // Connections curl had to open so far (1 while the first one is kept alive).
  long connects() const { return connects_; }

 private:
  static size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
  }

  Reply send(const std::string& body, curl_slist* headers) {
    Reply reply;
    if (curl_ == nullptr) return reply;
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &reply.body);
    reply.code = curl_easy_perform(curl_);
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &reply.status);
    long opened = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &opened);
    connects_ += opened;
    return reply;
  }

  CURL* curl_ = nullptr;
  std::string url_, ca_;
  curl_slist* resolve_ = nullptr;
  curl_slist* form_ = nullptr;
  curl_slist* json_ = nullptr;
  long connects_ = 0;
};

// ---- Truncated handshake --------------------------------------------------------------------

// A TLS 1.2/1.3 ClientHello for localhost (without key shares: only its first part is sent).
inline std::vector<unsigned char> clientHello() {
  using Bytes = std::vector<unsigned char>;
  auto u16 = [](Bytes& b, size_t v) {
    b.push_back(static_cast<unsigned char>(v >> 8));
    b.push_back(static_cast<unsigned char>(v));
  };
  auto extension = [&](Bytes& b, unsigned type, const Bytes& data) {
    u16(b, type);
    u16(b, data.size());
    b.insert(b.end(), data.begin(), data.end());
  };
  const std::string name = "localhost";
  Bytes sni;
  u16(sni, name.size() + 3);
  sni.push_back(0);
  u16(sni, name.size());
  sni.insert(sni.end(), name.begin(), name.end());
  Bytes extensions;
  extension(extensions, 0x0000, sni);
  extension(extensions, 0x002b, {4, 0x03, 0x04, 0x03, 0x03});
  extension(extensions, 0x000a, {0, 2, 0x00, 0x1d});
  extension(extensions, 0x000d, {0, 4, 0x04, 0x03, 0x08, 0x04});

  Bytes hello = {0x03, 0x03};
  for (int i = 0; i < 32; ++i) hello.push_back(static_cast<unsigned char>(i * 7 + 1));
  hello.push_back(0);  // no session id
  u16(hello, 8);
  for (unsigned char c : {0x13, 0x01, 0x13, 0x02, 0xc0, 0x2b, 0xc0, 0x2f}) hello.push_back(c);
  hello.push_back(1);
  hello.push_back(0);  // null compression only
  u16(hello, extensions.size());
  hello.insert(hello.end(), extensions.begin(), extensions.end());

  Bytes handshake = {0x01, 0, 0, 0};
  handshake[2] = static_cast<unsigned char>(hello.size() >> 8);
  handshake[3] = static_cast<unsigned char>(hello.size());
  handshake.insert(handshake.end(), hello.begin(), hello.end());
  Bytes record = {0x16, 0x03, 0x01};
  u16(record, handshake.size());
  record.insert(record.end(), handshake.begin(), handshake.end());
  return record;
}

// connect() of fd to the listener's loopback address; connect's result.
inline int connectLoopback(int fd, Listener at) {
  if (at.ipv6) {
    sockaddr_in6 a = {};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(at.port));
    a.sin6_addr = in6addr_loopback;
    return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(at.port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
}

// Connects, sends the first `bytes` of a ClientHello, optionally lingers, and closes.
// False when the listener did not take the connection.
inline bool truncatedHandshake(Listener at, size_t bytes, int lingerMs) {
  static const std::vector<unsigned char> hello = clientHello();
  int fd = socket(at.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int rc = connectLoopback(fd, at);
  if (rc == 0 && bytes > 0) {
    ssize_t sent = ::send(fd, hello.data(), bytes < hello.size() ? bytes : hello.size(), MSG_NOSIGNAL);
    if (sent <= 0) rc = -1;
  }
  if (rc == 0 && lingerMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(lingerMs));
  close(fd);
  return rc == 0;
}

// A TCP connection that sends the first `bytes` of a ClientHello and then nothing; -1 when
// it could not be made. connect() does not wait for the listener to take it.
inline int openRaw(Listener at, size_t bytes) {
  static const std::vector<unsigned char> hello = clientHello();
  int fd = socket(at.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  int rc = connectLoopback(fd, at);
  if (rc != 0 && errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  if (bytes > 0) {
    pollfd p = {fd, POLLOUT, 0};
    if (poll(&p, 1, 2000) == 1) (void)::send(fd, hello.data(), std::min(bytes, hello.size()), MSG_NOSIGNAL);
  }
  return fd;
}

// A TLS connection that stalls until destroyed: with slowBody a POST whose body stops
// half-way, otherwise a request head cut short (slow headers).
class Stalled {
 public:
  Stalled(Listener at, bool slowBody) : slowBody_(slowBody) {
    curl_ = curl_easy_init();
    if (curl_ == nullptr) return;
    std::string port = std::to_string(at.port);
    url_ = "https://localhost:" + port + "/";
    resolve_ = curl_slist_append(nullptr, ("localhost:" + port + (at.ipv6 ? ":[::1]" : ":127.0.0.1")).c_str());
    ca_ = noxtest::caFile();
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve_);
    curl_easy_setopt(curl_, CURLOPT_CAINFO, ca_.c_str());
    curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl_, CURLOPT_CONNECTTIMEOUT_MS, 5000L);
    curl_easy_setopt(curl_, CURLOPT_CONNECT_ONLY, 1L);
    if (curl_easy_perform(curl_) != CURLE_OK) return;
    std::string head = slowBody ? "POST / HTTP/1.1\r\nHost: localhost:" + port +
                                      "\r\nOrigin: https://soak.test\r\nContent-Type: "
                                      "application/x-www-form-urlencoded\r\nContent-Length: 1000000\r\n\r\n"
                                      "Parameter=" + std::string(50000, 'A')
                                : "POST / HTTP/1.1\r\nHost: local";
    size_t sent = 0;
    for (int tries = 0; sent < head.size() && tries < 200; ++tries) {
      size_t n = 0;
      CURLcode code = curl_easy_send(curl_, head.data() + sent, head.size() - sent, &n);
      if (code == CURLE_AGAIN) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        continue;
      }
      if (code != CURLE_OK) break;
      sent += n;
    }
  }
  ~Stalled() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
    curl_slist_free_all(resolve_);
  }
  Stalled(const Stalled&) = delete;
  Stalled& operator=(const Stalled&) = delete;

 private:
  bool slowBody_;
  CURL* curl_ = nullptr;
  std::string url_, ca_;
  curl_slist* resolve_ = nullptr;
};

// ---- The service process as seen from /proc --------------------------------------------------

struct Footprint {
  long rssKiB = -1;
  long descriptors = -1;  // open descriptors less the live TCP connections (see footprint)
};

// Socket inodes of the process's network namespace whose TCP state is ESTABLISHED.
inline std::set<unsigned long> establishedInodes(pid_t pid) {
  std::set<unsigned long> inodes;
  for (const char* table : {"/net/tcp", "/net/tcp6"}) {
    std::ifstream in("/proc/" + std::to_string(pid) + table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      if (fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode &&
          state == "01")
        inodes.insert(inode);
    }
  }
  return inodes;
}

// Descriptors are counted without the sockets of live connections: the parked workers keep
// theirs open, and how many they hold at a sample depends on where each one parked. What
// must come back is everything else, including sockets whose client has closed.
inline Footprint footprint(pid_t pid) {
  Footprint f;
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) f.rssKiB = std::stol(line.substr(6));
  const std::set<unsigned long> live = establishedInodes(pid);
  const std::string fdDir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(fdDir.c_str());
  if (dir != nullptr) {
    f.descriptors = 0;
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      char target[64] = {0};
      ssize_t n = readlink((fdDir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
      unsigned long inode = 0;
      if (n > 0 && sscanf(target, "socket:[%lu]", &inode) == 1 && live.count(inode) != 0) continue;
      ++f.descriptors;
    }
    closedir(dir);
  }
  return f;
}

inline long filesIn(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) return 0;
  long n = 0;
  while (dirent* entry = readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  closedir(dir);
  return n;
}

// ---- Markers ---------------------------------------------------------------------------------

// Every answer a request can expect (a digest, a stored value, a session identifier) is
// registered under the request's number; an answer equal to another request's marker went
// to the wrong request.
class Markers {
 public:
  void add(const std::string& marker, uint64_t request) {
    std::lock_guard<std::mutex> guard(lock_);
    owners_[marker] = request;
  }
  // True when text is the marker of a request other than request.
  bool belongsElsewhere(const std::string& text, uint64_t request) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto found = owners_.find(text);
    return found != owners_.end() && found->second != request;
  }
  // Registers marker for request; false when it was registered before (a repeated answer).
  bool addNew(const std::string& marker, uint64_t request) {
    std::lock_guard<std::mutex> guard(lock_);
    return owners_.emplace(marker, request).second;
  }

 private:
  mutable std::mutex lock_;
  std::unordered_map<std::string, uint64_t> owners_;
};

}  // namespace soak
