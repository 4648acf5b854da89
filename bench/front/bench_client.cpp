// Client of the front-end benchmark, in C++ over libcurl so that the client's own cost stays
// small beside the servers'. Two modes, each a fixed count, each failing on a wrong answer:
//
//   nox_bench_front_client cold SERVICE_PORT FLOOR_PORT CYCLES
//     A cold page, CYCLES times on each server, the two alternating: a new TLS connection
//     (full handshake, no resumption), then three requests on it. On the service these are
//     what a page does first: open a session (Echo, which loads the adapter), one Echo call
//     on it, and its release; on the floor, three requests of the same size. Prints
//       cold service P50 P99 floor P50 P99      (ms per cycle)
//
//   nox_bench_front_client keep PORT COUNT SESSION [COUNTER_FILE]
//     COUNT Echo calls on the open session SESSION over one kept-alive connection. With
//     COUNTER_FILE (the allocation counter's file, see alloc_count.c) it reads the server's
//     allocation count around them. Prints
//       keep COUNT requests ALLOCATIONS allocations BYTES bytes
//
// The peer certificate is not verified and no trust store is read: both servers present the
// service's own, and either would only add the same client cost to both sides.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kAdapterPath = "3A61F0B2C94E4D7B8E05A1C2D3F40516";
constexpr const char* kOrigin = "Origin: https://bench.test";

std::string base64(const std::string& in) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i < in.size()) {
    uint32_t v = uint8_t(in[i]) << 16;
    if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < in.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string unbase64(const std::string& in) {
  std::string out;
  uint32_t v = 0;
  int bits = 0;
  for (char c : in) {
    const char* p = std::strchr("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", c);
    if (c == '\0' || p == nullptr) break;
    v = (v << 6) | uint32_t(p - "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out += char((v >> bits) & 0xFF);
    }
  }
  return out;
}

// The form body a page posts: Parameter=<Base64 of the JSON, URL-escaped>.
std::string form(const std::string& json) {
  std::string out = "Parameter=";
  for (char c : base64(json)) {
    if (c == '+') out += "%2B";
    else if (c == '/') out += "%2F";
    else if (c == '=') out += "%3D";
    else out += c;
  }
  return out;
}

std::string echoJson(const std::string& session) {
  std::string json = std::string("{\"FunctionName\":\"Echo\",\"PathID\":\"") + kAdapterPath +
                     "\",\"minServerVersion\":\"1.0.0.0\"";
  if (!session.empty()) json += ",\"SessionId\":\"" + session + "\"";
  return json + "}";
}

std::string releaseJson(const std::string& session) {
  return "{\"SessionId\":\"" + session + "\",\"FunctionName\":\"HalvorantRelease\"}";
}

size_t collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One connection's worth of requests: an easy handle, its connection kept between posts.
class Connection {
 public:
  explicit Connection(int port) : curl_(curl_easy_init()) {
    url_ = "https://localhost:" + std::to_string(port) + "/";
    resolve_ = curl_slist_append(nullptr, ("localhost:" + std::to_string(port) + ":127.0.0.1").c_str());
    headers_ = curl_slist_append(nullptr, kOrigin);
    headers_ = curl_slist_append(headers_, "Content-Type: application/x-www-form-urlencoded");
    if (curl_ == nullptr) return;
    curl_easy_setopt(curl_, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(curl_, CURLOPT_RESOLVE, resolve_);
    curl_easy_setopt(curl_, CURLOPT_HTTPHEADER, headers_);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl_, CURLOPT_SSL_VERIFYHOST, 0L);
    // No trust store either: reading the system's would cost the client milliseconds a cycle.
    curl_easy_setopt(curl_, CURLOPT_CAINFO, nullptr);
    curl_easy_setopt(curl_, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl_, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(curl_, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_3);
    curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 20L);
    curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
  }
  ~Connection() {
    if (curl_ != nullptr) curl_easy_cleanup(curl_);
    curl_slist_free_all(resolve_);
    curl_slist_free_all(headers_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Posts the form; the answer body, or "" (with a message) on a transport or status error.
  const std::string& post(const std::string& formBody) {
    body_.clear();
    if (curl_ == nullptr) return body_;
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, formBody.c_str());
    curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, long(formBody.size()));
    CURLcode code = curl_easy_perform(curl_);
    long status = 0;
    curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status);
    long connects = 0;
    curl_easy_getinfo(curl_, CURLINFO_NUM_CONNECTS, &connects);
    connects_ += connects;
    if (code != CURLE_OK || status != 200) {
      fprintf(stderr, "client: %s, HTTP %ld, on %s\n", curl_easy_strerror(code), status, url_.c_str());
      body_.clear();
    }
    return body_;
  }
  long connects() const { return connects_; }

 private:
  CURL* curl_;
  std::string url_, body_;
  curl_slist* resolve_ = nullptr;
  curl_slist* headers_ = nullptr;
  long connects_ = 0;
};

// The text value of key in an answer {"k": "v", ...}, Base64 as the service sends it.
std::string value(const std::string& answer, const std::string& key) {
  std::string probe = "\"" + key + "\": \"";
  size_t at = answer.find(probe);
  if (at == std::string::npos) return "";
  at += probe.size();
  size_t end = answer.find('"', at);
  return end == std::string::npos ? "" : answer.substr(at, end - at);
}

bool echoed(const std::string& answer) { return value(answer, "result") == base64("0"); }

struct Stats {
  double p50, p99;
};

Stats stats(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[std::min(ms.size() - 1, ms.size() * 99 / 100)]};
}

double since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// One cold cycle; its time in ms, or a negative number when an answer was wrong.
double coldService(int port, int cycle) {
  auto start = std::chrono::steady_clock::now();
  Connection c(port);
  std::string answer = c.post(form(echoJson("")));
  std::string session = unbase64(value(answer, "SessionID"));
  if (!echoed(answer) || session.empty()) {
    fprintf(stderr, "client: cycle %d: open answered %s\n", cycle, answer.c_str());
    return -1;
  }
  if (!echoed(c.post(form(echoJson(session))))) return -1;
  if (c.post(form(releaseJson(session))).empty()) return -1;
  double ms = since(start);
  return c.connects() == 1 ? ms : -1;
}

double coldFloor(int port) {
  auto start = std::chrono::steady_clock::now();
  Connection c(port);
  const std::string session = "0123456789ABCDEF0123456789ABCDEF";
  if (!echoed(c.post(form(echoJson(""))))) return -1;
  if (!echoed(c.post(form(echoJson(session))))) return -1;
  if (c.post(form(releaseJson(session))).empty()) return -1;
  double ms = since(start);
  return c.connects() == 1 ? ms : -1;
}

int cold(int servicePort, int floorPort, int cycles) {
  std::vector<double> service, floor;
  for (int i = 0; i < cycles + 10; ++i) {
    // Which server goes first alternates, so neither always follows the other's load.
    double s = 0, f = 0;
    if (i % 2 == 0) {
      s = coldService(servicePort, i);
      f = coldFloor(floorPort);
    } else {
      f = coldFloor(floorPort);
      s = coldService(servicePort, i);
    }
    if (s < 0 || f < 0) {
      fprintf(stderr, "client: cold cycle %d failed (service %.3f, floor %.3f)\n", i, s, f);
      return 1;
    }
    if (i >= 10) {  // after a warm-up
      service.push_back(s);
      floor.push_back(f);
    }
  }
  Stats s = stats(service), f = stats(floor);
  printf("cold service %.3f %.3f floor %.3f %.3f\n", s.p50, s.p99, f.p50, f.p99);
  return 0;
}

bool readCounters(const char* path, uint64_t out[2]) {
  std::ifstream file(path, std::ios::binary);
  return file.read(reinterpret_cast<char*>(out), 2 * sizeof(uint64_t)).good();
}

int keep(int port, int count, const std::string& session, const char* counterFile) {
  Connection c(port);
  const std::string body = form(echoJson(session));
  if (!echoed(c.post(body))) return 1;  // the connection is open before counting starts
  uint64_t before[2] = {0, 0}, after[2] = {0, 0};
  if (counterFile != nullptr && !readCounters(counterFile, before)) {
    fprintf(stderr, "client: cannot read %s\n", counterFile);
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    if (!echoed(c.post(body))) {
      fprintf(stderr, "client: request %d: wrong answer\n", i);
      return 1;
    }
  }
  if (counterFile != nullptr && !readCounters(counterFile, after)) return 1;
  if (c.connects() != 1) {
    fprintf(stderr, "client: the connection was not kept (%ld connects)\n", c.connects());
    return 1;
  }
  printf("keep %d requests %llu allocations %llu bytes\n", count, static_cast<unsigned long long>(after[0] - before[0]),
         static_cast<unsigned long long>(after[1] - before[1]));
  return 0;
}

int usage() {
  fprintf(stderr,
          "usage: nox_bench_front_client cold SERVICE_PORT FLOOR_PORT CYCLES\n"
          "       nox_bench_front_client keep PORT COUNT SESSION [COUNTER_FILE]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  curl_global_init(CURL_GLOBAL_DEFAULT);
  int status = 2;
  std::string mode = argv[1];
  if (mode == "cold" && argc == 5) {
    int cycles = atoi(argv[4]);
    status = (cycles > 0 && cycles <= 100000) ? cold(atoi(argv[2]), atoi(argv[3]), cycles) : usage();
  } else if (mode == "keep" && (argc == 5 || argc == 6)) {
    int count = atoi(argv[3]);
    status = (count > 0 && count <= 1000000) ? keep(atoi(argv[2]), count, argv[4], argc == 6 ? argv[5] : nullptr)
                                             : usage();
  } else {
    status = usage();
  }
  curl_global_cleanup();
  return status;
}
