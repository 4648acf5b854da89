// Floors of the front-end benchmark: one libmicrohttpd TLS listener on 127.0.0.1 with the
// service's flags, priority text and certificate (this user's, from the data directory, as
// the service finds it).
//   bare       reads each POST body and answers a fixed small JSON;
//   same-work  also does the work every request of the service must do, written plainly:
//              reads the form field "Parameter" through the library's form parser, decodes
//              its Base64 and tokenises the JSON, writes 17 console lines (about 1.2 KB,
//              time-stamped, the parameters among them) to standard output in one write,
//              and answers three Base64 values with the service's two extra headers; its
//              connections have the service's idle time-out and limit.
// Usage: nox_bench_front_floor PORT [bare|same-work]; runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#define JSMN_STATIC
#include <jsmn.h>

#include "front/HalvorantHttp.h"
#include "front/Key.h"
#include "platform/Platform.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

const char kAnswer[] = "{\"result\": \"MA==\"}";
int g_marker;

MHD_Result bare(void*, MHD_Connection* connection, const char*, const char*, const char*, const char*,
                size_t* uploadSize, void** context) {
  if (*context == nullptr) {
    *context = &g_marker;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    *uploadSize = 0;
    return MHD_YES;
  }
  MHD_Response* response = MHD_create_response_from_buffer(sizeof kAnswer - 1, const_cast<char*>(kAnswer),
                                                           MHD_RESPMEM_PERSISTENT);
  if (response == nullptr) return MHD_NO;
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

// ---- same-work ---------------------------------------------------------------------------

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const std::string& in) {
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16 | static_cast<unsigned char>(in[i + 1]) << 8 |
                 static_cast<unsigned char>(in[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[v >> 12 & 63];
    out += kAlphabet[v >> 6 & 63];
    out += kAlphabet[v & 63];
  }
  if (i < in.size()) {
    unsigned v = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) v |= static_cast<unsigned char>(in[i + 1]) << 8;
    out += kAlphabet[v >> 18];
    out += kAlphabet[v >> 12 & 63];
    out += i + 1 < in.size() ? kAlphabet[v >> 6 & 63] : '=';
    out += '=';
  }
  return out;
}

std::string unbase64(const std::string& in) {
  static signed char value[256];
  static bool ready = false;
  if (!ready) {
    memset(value, -1, sizeof value);
    for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<signed char>(i);
    ready = true;
  }
  std::string out;
  out.reserve(in.size() / 4 * 3);
  unsigned bits = 0;
  int count = 0;
  for (char c : in) {
    const int v = value[static_cast<unsigned char>(c)];
    if (v < 0) break;
    bits = bits << 6 | static_cast<unsigned>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count & 0xFF);
    }
  }
  return out;
}

struct Request {
  MHD_PostProcessor* form = nullptr;
  std::string parameter;
};

MHD_Result collect(void* cls, MHD_ValueKind, const char* key, const char*, const char*, const char*,
                   const char* data, uint64_t, size_t size) {
  if (strcmp(key, "Parameter") == 0) static_cast<Request*>(cls)->parameter.append(data, size);
  return MHD_YES;
}

// One console line as the service lays it out: time, module, kind, label and value.
void line(std::string* out, const char* stamp, const char* label, const char* value, size_t valueSize) {
  out->append(stamp);
  out->append("[HalvorantSession][Normal] ");
  out->append(label);
  out->append(value, valueSize);
  out->push_back('\n');
}

void line(std::string* out, const char* stamp, const char* label, const char* value) {
  line(out, stamp, label, value, strlen(value));
}

MHD_Result sameWork(void*, MHD_Connection* connection, const char*, const char*, const char*, const char* upload,
                    size_t* uploadSize, void** context) {
  auto* request = static_cast<Request*>(*context);
  if (request == nullptr) {
    request = new Request;
    request->form = MHD_create_post_processor(connection, 4096, collect, request);
    *context = request;
    return MHD_YES;
  }
  if (*uploadSize != 0) {
    if (request->form != nullptr) MHD_post_process(request->form, upload, *uploadSize);
    *uploadSize = 0;
    return MHD_YES;
  }
  const std::string json = unbase64(request->parameter);
  jsmn_parser parser;
  jsmntok_t tokens[64];
  jsmn_init(&parser);
  const int count = jsmn_parse(&parser, json.data(), json.size(), tokens, 64);

  char stamp[32];
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "[%Y-%m-%d %H:%M:%S]", &local);
  std::string console;
  console.reserve(2048);
  const char* origin = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Origin");
  const char* referer = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Referer");
  line(&console, stamp, "Referer: ", referer != nullptr ? referer : "");
  line(&console, stamp, "Origin: ", origin != nullptr ? origin : "");
  line(&console, stamp, "Check_Host: ", "localhost");
  line(&console, stamp, "TLS version: ", "TLS1.3");
  line(&console, stamp, "Check_User: ", "0");
  line(&console, stamp, "= DISPLAY PARAMETER ===== start =====", "");
  const char* session = "";
  size_t sessionSize = 0;
  for (int i = 1; i + 1 < count; i += 2) {
    const jsmntok_t& key = tokens[i];
    const jsmntok_t& value = tokens[i + 1];
    std::string label(json.data() + key.start, static_cast<size_t>(key.end - key.start));
    label += ": ";
    line(&console, stamp, label.c_str(), json.data() + value.start, static_cast<size_t>(value.end - value.start));
    if (label == "SessionId: ") {
      session = json.data() + value.start;
      sessionSize = static_cast<size_t>(value.end - value.start);
    }
  }
  line(&console, stamp, "= DISPLAY PARAMETER ===== end =====", "");
  line(&console, stamp, "Session id: ", session, sessionSize);
  line(&console, stamp, "Find the loaded adapter", "");
  line(&console, stamp, "Browser mode: ", "Active");
  line(&console, stamp, "Call adapter function: ", "Echo");
  line(&console, stamp, "Adapter result: ", "0");
  line(&console, stamp, "Answer: ", "200");
  if (write(STDOUT_FILENO, console.data(), console.size()) < 0) return MHD_NO;

  std::string answer = "{\"LibVersion\": \"" + base64("1.0.0.1") + "\", \"result\": \"" + base64("0") +
                       "\", \"ServerVersion\": \"" + base64("1.0.23.0510") + "\"}";
  MHD_Response* response =
      MHD_create_response_from_buffer(answer.size(), const_cast<char*>(answer.data()), MHD_RESPMEM_MUST_COPY);
  if (response == nullptr) return MHD_NO;
  MHD_add_response_header(response, "Access-Control-Allow-Origin", origin != nullptr ? origin : "*");
  MHD_add_response_header(response, "X-XSS-Protection", "1; mode=block");
  MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
  MHD_destroy_response(response);
  return queued;
}

void completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
  auto* request = static_cast<Request*>(*context);
  if (request == nullptr) return;
  if (request->form != nullptr) MHD_destroy_post_processor(request->form);
  delete request;
  *context = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 54479;
  if (port <= 0 || port > 65535) return 2;
  const bool same = argc > 2 && strcmp(argv[2], "same-work") == 0;
  if (argc > 2 && !same && strcmp(argv[2], "bare") != 0) return 2;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // the listener thread inherits the mask

  std::string dir;
  if (!platformDataDirectory(&dir) || !prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr)) return 1;
  char* certificate = getCert();
  char* key = getKey();
  if (certificate == nullptr || key == nullptr) return 1;
  sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // The same-work floor keeps connections as the service does: closed after an idle time,
  // at most so many (the library then tracks every connection's activity).
  MHD_OptionItem kept[] = {
      {MHD_OPTION_CONNECTION_TIMEOUT, static_cast<intptr_t>(kConnectionTimeoutSeconds), nullptr},
      {MHD_OPTION_CONNECTION_LIMIT, static_cast<intptr_t>(kListenerConnectionLimit), nullptr},
      {MHD_OPTION_NOTIFY_COMPLETED, reinterpret_cast<intptr_t>(completed), nullptr},
      {MHD_OPTION_END, 0, nullptr}};
  MHD_Daemon* daemon = MHD_start_daemon(
      kDaemonFlagsIPv4, static_cast<uint16_t>(port), nullptr, nullptr, same ? sameWork : bare, nullptr,
      MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_HTTPS_MEM_CERT, certificate, MHD_OPTION_HTTPS_MEM_KEY, key,
      MHD_OPTION_HTTPS_PRIORITIES, kTlsPriorities, MHD_OPTION_ARRAY, same ? kept : kept + 3, MHD_OPTION_END);
  freeTextWiped(key);
  freeMem(certificate);
  if (daemon == nullptr) return 1;
  printf("floor ready on %d (%s)\n", port, same ? "same-work" : "bare");
  fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  MHD_stop_daemon(daemon);
  return 0;
}
