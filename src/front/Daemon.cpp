// One HTTPS listener: start, accept policy, library log and request completion.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "diag/Console.h"
#include "diag/qzlog.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "front/MainThread.h"
#include "platform/Platform.h"

MHD_Daemon* StartDaemon(unsigned flags, sockaddr* address, char* certificate, char* key, const char* priorities,
                        int listenSocket) {
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
      flags, port, apc, listenerClosure(address->sa_family, port), answer_to_connection, nullptr,
      MHD_OPTION_EXTERNAL_LOGGER, MHD_Logger, nullptr,
      MHD_OPTION_CONNECTION_TIMEOUT, kConnectionTimeoutSeconds,
      MHD_OPTION_CONNECTION_LIMIT, kListenerConnectionLimit,
      MHD_OPTION_NOTIFY_CONNECTION, notifyConnection, nullptr,
      MHD_OPTION_SOCK_ADDR, address,
      MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listenSocket),  // -1: none, bind address
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

void* listenerClosure(int family, uint16_t port) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(family) << 16 | port);
}

namespace {

std::atomic<unsigned> g_open{0};
std::atomic<unsigned> g_globalLimit{kGlobalConnectionLimit};
std::atomic<unsigned> g_peakOpen{0};  // since memory was last given back
constexpr unsigned kTrimAfterPeak = 128;
constexpr unsigned kTrimBelow = 32;

// Every line a connecting peer can set off before it is admitted is rate-limited: a flood
// of connections gives at most one line a second of each kind, with a count of the rest.
RateLimitedLine g_otherUserLine{kRateLimitedError, "Connection refused: ", "refused"};
RateLimitedLine g_limitLine{kRateLimitedError, "Connection refused: ", "refused"};
RateLimitedLine g_illegalLine{kRateLimitedWarning, "Illegal connection ip: ", "refused"};

// The client's socket must belong to the service's user: any other local user could
// otherwise reach this user's adapters through the loopback.
bool peerIsOwnUser(void* closure, const sockaddr* address, socklen_t length) {
  const auto key = reinterpret_cast<uintptr_t>(closure);
  const int family = static_cast<int>(key >> 16);
  const uint16_t port = static_cast<uint16_t>(key & 0xFFFF);
  sockaddr_storage local;
  memset(&local, 0, sizeof local);
  if (family == AF_INET && address->sa_family == AF_INET && length >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    auto* in = reinterpret_cast<sockaddr_in*>(&local);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  } else if (family == AF_INET6 && address->sa_family == AF_INET6 &&
             length >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    in6->sin6_addr = in6addr_loopback;
  } else {
    printfRateLimitedLine(&g_otherUserLine, "unexpected address family");
    return false;
  }
  uint32_t owner = 0;
  switch (platformPeerOwner(address, reinterpret_cast<sockaddr*>(&local), &owner)) {
    case kPeerOwnUser:
    case kPeerUncheckable:
      return true;
    case kPeerOtherUser: {
      std::string text = "client of user " + std::to_string(owner) + ", not of this service's user";
      printfRateLimitedLine(&g_otherUserLine, text.c_str());
      return false;
    }
    case kPeerUnknown:
      break;
  }
  printfRateLimitedLine(&g_otherUserLine, "owner of the client socket not found");
  return false;
}

}  // namespace

unsigned setConnectionBudget(uint64_t descriptors) {
  unsigned limit = kGlobalConnectionLimit;
  if (descriptors > 0 && descriptors < static_cast<uint64_t>(kGlobalConnectionLimit) + kReservedDescriptors)
    limit = descriptors > 2u * kReservedDescriptors ? static_cast<unsigned>(descriptors) - kReservedDescriptors
                                                    : kReservedDescriptors;
  g_globalLimit.store(limit);
  return limit;
}

unsigned openConnections() { return g_open.load(); }

void notifyConnection(void* closure, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    unsigned open = g_open.fetch_add(1) + 1;
    unsigned peak = g_peakOpen.load();
    while (open > peak && !g_peakOpen.compare_exchange_weak(peak, open)) {
    }
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    MainThread_ConnectionClosed(connection);  // its page's uncollected result may go sooner
    unsigned open = g_open.fetch_sub(1) - 1;
#if defined(__GLIBC__)
    // After a crowd of connections has gone, the listener threads' heaps keep the pages
    // their TLS sessions used; give them back once.
    if (open <= kTrimBelow && g_peakOpen.load() >= kTrimAfterPeak && g_peakOpen.exchange(0) >= kTrimAfterPeak)
      malloc_trim(0);
#else
    (void)open;
#endif
  }
}

MHD_Result apc(void* closure, const sockaddr* address, socklen_t length) {
  if (address == nullptr) return MHD_NO;
  if (HalvorantStopping.load()) return MHD_NO;  // shutdown has begun: nothing new
  if (address->sa_family == AF_INET &&
      !(length >= static_cast<socklen_t>(sizeof(sockaddr_in)) &&
        reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr == htonl(INADDR_LOOPBACK))) {
    // The 14 data bytes of the address (port, address, padding) in memory order.
    char list[512] = {0};
    for (size_t i = 0; i < sizeof address->sa_data; ++i) {
      char number[64];
      snprintf(number, sizeof number, "%s%u", i == 0 ? "" : ".",
               static_cast<unsigned>(static_cast<unsigned char>(address->sa_data[i])));
      strncat(list, number, sizeof list - strlen(list) - 1);
    }
    printfRateLimitedLine(&g_illegalLine, list);
    return MHD_NO;
  }
  if (g_open.load() >= g_globalLimit.load()) {
    printfRateLimitedLine(&g_limitLine, "connection limit of all listeners reached");
    return MHD_NO;
  }
  return peerIsOwnUser(closure, address, length) ? MHD_YES : MHD_NO;
}

namespace {

// The library reports what clients do wrong (failed handshakes, broken requests), as often
// as they like.
RateLimitedLine g_libraryLine{kRateLimitedLibrary, "", "library messages"};

}  // namespace

void MHD_Logger(void* closure, const char* format, va_list arguments) {
  if (format == nullptr) return;
  char buffer[1024];
  int size = vsnprintf(buffer, sizeof buffer, format, arguments);
  if (size < 0) return;
  std::string text(buffer, std::min(static_cast<size_t>(size), sizeof buffer - 1));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  // The library quotes what clients sent; their controls are shown, not obeyed.
  if (needsEscape(text.c_str())) text = escapeControls(text.c_str());
  printfRateLimitedLine(&g_libraryLine, text.c_str());
}

void request_completed(void* closure, MHD_Connection* connection, void** context,
                       MHD_RequestTerminationCode code) {
  if (context == nullptr || *context == nullptr) return;
  freeRequestContext(static_cast<RequestContext*>(*context));
  *context = nullptr;
}
