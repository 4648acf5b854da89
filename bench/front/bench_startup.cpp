// Start-up latency: from exec of the service to the first answer of its first listener.
// Three cases, each with the service's credentials in a private data home:
//   first start   the data home is empty: the start makes the CA and the key (once);
//   later start   the files exist: they are loaded (RUNS times);
//   activation    systemd-socket-activate holds the six sockets; the first connection
//                 execs the service, which answers it on the socket it was given (RUNS
//                 times); timed from that connection.
// And the stop: from SIGTERM to the first connection the service refuses (RUNS times; a
// probe connects every millisecond or so: a refused one is closed at once by the service).
// Usage: nox_bench_front_startup [RUNS]; prints
//   first-start MS
//   later-start MEDIAN_MS MAX_MS
//   activation MEDIAN_MS MAX_MS
//   stop MEDIAN_MS MAX_MS
// The client polls every millisecond until the answer comes (connections refused before the
// listener is up); it does not verify the certificate (the same cost in every case).
#include <curl/curl.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/OtherUser.h"
#include "support/ServiceHarness.h"

namespace {

using Clock = std::chrono::steady_clock;

size_t keep(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// One release without session to 127.0.0.1:54469; true when the service answered it.
// report: say why not.
bool answered(bool report = false) {
  CURL* curl = curl_easy_init();
  std::string body;
  std::string b64 = noxtest::base64Encode("{\"FunctionName\":\"HalvorantRelease\"}");
  char* escaped = curl_easy_escape(curl, b64.c_str(), static_cast<int>(b64.size()));
  std::string form = std::string("Parameter=") + (escaped != nullptr ? escaped : "");
  curl_free(escaped);
  curl_slist* headers = curl_slist_append(nullptr, "Origin: https://bench.test");
  curl_easy_setopt(curl, CURLOPT_URL, "https://127.0.0.1:54469/");
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, form.c_str());
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, keep);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  CURLcode code = curl_easy_perform(curl);
  bool ok = code == CURLE_OK && body.find("ServerVersion") != std::string::npos;
  if (!ok && report) fprintf(stderr, "startup: %s %s\n", curl_easy_strerror(code), body.c_str());
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return ok;
}

// Runs argv with stdout and stderr into log; its pid.
pid_t launch(const std::vector<std::string>& argv, const std::string& log) {
  pid_t pid = fork();
  if (pid == 0) {
    int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(out, STDOUT_FILENO);
    dup2(out, STDERR_FILENO);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    perror(args[0]);
    _exit(127);
  }
  return pid;
}

int stop(pid_t pid) {
  kill(pid, SIGTERM);
  // The activator passes the signal on to nothing before its first connection; it ends.
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool logHolds(const std::string& log, const std::string& text) {
  FILE* f = fopen(log.c_str(), "r");
  if (f == nullptr) return false;
  std::string all;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) all.append(buffer, n);
  fclose(f);
  return all.find(text) != std::string::npos;
}

// How many of the six addresses have a listening socket (read from /proc/net: looking
// must not connect, which would start the service).
int listeningCount() {
  int count = 0;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    FILE* f = fopen(table, "r");
    if (f == nullptr) continue;
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
      char local[64], remote[64], state[8];
      if (sscanf(line, "%*d: %63s %63s %7s", local, remote, state) != 3 || strcmp(state, "0A") != 0) continue;
      for (const char* want : {"0100007F:D4C5", "0100007F:D529", "0100007F:D58D",
                               "00000000000000000000000001000000:D4C5", "00000000000000000000000001000000:D529",
                               "00000000000000000000000001000000:D58D"})
        count += strcmp(local, want) == 0;
    }
    fclose(f);
  }
  return count;
}

// Exec to first answer, ms; -1 when none came within 10 s.
double execToAnswer(const std::string& exe, const std::string& log) {
  auto start = Clock::now();
  pid_t pid = launch({exe}, log);
  double ms = -1;
  while (Clock::now() - start < std::chrono::seconds(10)) {
    if (answered()) {
      ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop(pid);
  return ms;
}

// First connection to answer with the sockets held by the activator, ms; -1 on failure.
double activationToAnswer(const std::string& exe, const std::string& log) {
  std::vector<std::string> argv = {"systemd-socket-activate", "-E", "XDG_DATA_HOME"};
  for (const char* a : {"127.0.0.1:54469", "[::1]:54469", "127.0.0.1:54569", "[::1]:54569", "127.0.0.1:54669",
                        "[::1]:54669"}) {
    argv.push_back("-l");
    argv.push_back(a);
  }
  argv.push_back(exe);
  pid_t pid = launch(argv, log);
  auto ready = Clock::now();
  while (listeningCount() < 6) {
    if (Clock::now() - ready > std::chrono::seconds(10)) {
      stop(pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto start = Clock::now();
  double ms = answered(true) ? std::chrono::duration<double, std::milli>(Clock::now() - start).count() : -1;
  stop(pid);
  return ms;
}

// One connection to 127.0.0.1:54469: true when it is refused, or closed by the service
// within a millisecond (its accept policy refuses everything once a stop began).
bool refused() {
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(54469);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool closed = connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
  if (!closed) {
    pollfd p = {s, POLLIN | POLLRDHUP, 0};
    closed = poll(&p, 1, 1) > 0;
  }
  close(s);
  return closed;
}

// SIGTERM to the first refused connection, ms; -1 when the service did not answer first.
double stopToRefusal(const std::string& exe, const std::string& log) {
  auto start = Clock::now();
  pid_t pid = launch({exe}, log);
  while (!answered()) {
    if (Clock::now() - start > std::chrono::seconds(10)) {
      stop(pid);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto signalled = Clock::now();
  kill(pid, SIGTERM);
  double ms = -1;
  while (Clock::now() - signalled < std::chrono::seconds(2)) {
    if (refused()) {
      ms = std::chrono::duration<double, std::milli>(Clock::now() - signalled).count();
      break;
    }
  }
  stop(pid);
  return ms;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? atoi(argv[1]) : 20;
  if (runs <= 0 || runs > 1000) return 2;
  curl_global_init(CURL_GLOBAL_DEFAULT);
  noxtest::WorkDirLock lock;  // the fixed ports; also sets a private XDG_DATA_HOME
  if (!lock.take()) {
    fprintf(stderr, "startup: %s\n", lock.error().c_str());
    return 1;
  }
  const std::string exe = NOX_SERVICE_EXE;
  const std::string log = noxtest::DataHome::path() + "/service.log";

  double first = execToAnswer(exe, log);
  if (first < 0 || !logHolds(log, "first start")) {
    fprintf(stderr, "startup: the first start did not answer (or made no keys); see %s\n", log.c_str());
    return 1;
  }
  printf("first-start %.1f\n", first);
  const char* names[] = {"later-start", "activation", "stop"};
  for (int kind = 0; kind < 3; ++kind) {
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
      double one = kind == 0 ? execToAnswer(exe, log) : kind == 1 ? activationToAnswer(exe, log)
                                                                  : stopToRefusal(exe, log);
      if (one < 0) {
        fprintf(stderr, "startup: no answer or no refusal (%s); its output:\n", names[kind]);
        std::string command = "cat " + noxtest::shellQuote(log) + " >&2";
        if (system(command.c_str()) != 0) fprintf(stderr, "(none)\n");
        return 1;
      }
      ms.push_back(one);
      lock.release();  // lets another tree's tests in between, and empties the work directory
      if (!lock.take()) return 1;
    }
    std::sort(ms.begin(), ms.end());
    printf("%s %.1f %.1f\n", names[kind], ms[ms.size() / 2], ms.back());
  }
  curl_global_cleanup();
  return 0;
}
