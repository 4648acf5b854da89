// Floor of the front-end benchmark: one libmicrohttpd TLS listener on 127.0.0.1 with the
// service's flags, priority text and certificate (this user's, from the data directory, as
// the service finds it), which reads each POST body and answers a fixed small JSON.
// Usage: nox_bench_front_floor PORT; runs until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "front/HalvorantHttp.h"
#include "front/Key.h"
#include "platform/Platform.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

const char kAnswer[] = "{\"result\": \"MA==\"}";
int g_marker;

MHD_Result handle(void*, MHD_Connection* connection, const char*, const char*, const char*, const char*,
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

}  // namespace

int main(int argc, char** argv) {
  int port = argc > 1 ? atoi(argv[1]) : 54479;
  if (port <= 0 || port > 65535) return 2;
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
  MHD_Daemon* daemon = MHD_start_daemon(kDaemonFlagsIPv4, static_cast<uint16_t>(port), nullptr, nullptr, handle,
                                        nullptr, MHD_OPTION_SOCK_ADDR, &address, MHD_OPTION_HTTPS_MEM_CERT,
                                        certificate, MHD_OPTION_HTTPS_MEM_KEY, key, MHD_OPTION_HTTPS_PRIORITIES,
                                        kTlsPriorities, MHD_OPTION_END);
  freeTextWiped(key);
  freeMem(certificate);
  if (daemon == nullptr) return 1;
  printf("floor ready on %d\n", port);
  fflush(stdout);
  int signal = 0;
  sigwait(&stop, &signal);
  MHD_stop_daemon(daemon);
  return 0;
}
