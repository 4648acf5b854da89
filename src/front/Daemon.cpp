// One HTTPS listener: start, accept policy, library log and request completion.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "diag/qzlog.h"
#include "front/HalvorantHttp.h"

MHD_Daemon* StartDaemon(unsigned flags, sockaddr* address, char* certificate, char* key, const char* priorities) {
  if (address == nullptr || certificate == nullptr || key == nullptr || priorities == nullptr) {
    HALVORANT_NULL_WARNING(address == nullptr       ? "address"
                           : certificate == nullptr ? "certificate"
                           : key == nullptr         ? "key"
                                                    : "priorities");
    return nullptr;
  }
  uint16_t port = 0;
  if (address->sa_family == AF_INET) {
    port = ntohs(reinterpret_cast<sockaddr_in*>(address)->sin_port);
  } else if (address->sa_family == AF_INET6) {
    port = ntohs(reinterpret_cast<sockaddr_in6*>(address)->sin6_port);
  } else {
    printfColorErrorLine("Unknow address family: ", static_cast<int>(address->sa_family));
    return nullptr;
  }
  const bool ipv4 = address->sa_family == AF_INET;

  MHD_Daemon* daemon = MHD_start_daemon(
      flags, port, ipv4 ? apc : nullptr, nullptr, answer_to_connection, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, MHD_Logger, nullptr,
      MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_HTTPS_MEM_CERT, certificate,
      MHD_OPTION_HTTPS_MEM_KEY, key,
      MHD_OPTION_HTTPS_PRIORITIES, priorities,
      MHD_OPTION_NOTIFY_COMPLETED, request_completed, nullptr,
      MHD_OPTION_END);

  char label[128];
  snprintf(label, sizeof label, "NoxHalvorant at %s%u launch state: ", ipv4 ? "127.0.0.1:" : "[::1]:",
           static_cast<unsigned>(port));
  if (daemon != nullptr) {
    printfColorLine(label, "Success");
  } else {
    printfColorWarningLine(label, "Fail");
  }
  return daemon;
}

MHD_Result apc(void* closure, const sockaddr* address, socklen_t length) {
  if (address == nullptr) return MHD_NO;
  if (address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in)) &&
      reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_LOOPBACK)) {
    return MHD_YES;
  }
  // The 14 data bytes of the address (port, address, padding) in memory order.
  char list[512] = {0};
  for (size_t i = 0; i < sizeof address->sa_data; ++i) {
    char number[64];
    snprintf(number, sizeof number, "%s%u", i == 0 ? "" : ".",
             static_cast<unsigned>(static_cast<unsigned char>(address->sa_data[i])));
    strncat(list, number, sizeof list - strlen(list) - 1);
  }
  printfColorWarningLine("Illegal connection ip: ", list);
  flushConsole();
  return MHD_NO;
}

void MHD_Logger(void* closure, const char* format, va_list arguments) {
  if (format == nullptr) return;
  va_list copy;
  va_copy(copy, arguments);
  qzvlog(5, 0, format, arguments);
  {
    std::lock_guard<std::mutex> guard(Print_Lock);
    vfprintf(stdout, format, copy);
    fflush(stdout);
  }
  va_end(copy);
}

void request_completed(void* closure, MHD_Connection* connection, void** context,
                       MHD_RequestTerminationCode code) {
  if (context == nullptr || *context == nullptr) return;
  freeRequestContext(static_cast<RequestContext*>(*context));
  *context = nullptr;
}
