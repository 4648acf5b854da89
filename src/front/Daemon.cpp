// One HTTPS listener: start, accept policy, library log and request completion.
#include <arpa/inet.h>
#include <gnutls/abstract.h>
#include <gnutls/gnutls.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <chrono>
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
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

// The one certificate and key of every listener (set before they start, released after they
// stopped; read by the listeners' threads in between).
gnutls_pcert_st g_certificate;
gnutls_privkey_t g_key = nullptr;
bool g_credentialsSet = false;

int giveCredentials(gnutls_session_t, const gnutls_datum_t*, int, const gnutls_pk_algorithm_t*, int,
                    gnutls_pcert_st** certificate, unsigned int* count, gnutls_privkey_t* key) {
  *certificate = &g_certificate;
  *count = 1;
  *key = g_key;
  return 0;
}

}  // namespace

bool setListenerCredentials(const char* certificate, const char* key) {
  if (certificate == nullptr || key == nullptr) return false;
  releaseListenerCredentials();
  gnutls_datum_t pem = {reinterpret_cast<unsigned char*>(const_cast<char*>(certificate)),
                        static_cast<unsigned>(strlen(certificate))};
  if (gnutls_pcert_import_x509_raw(&g_certificate, &pem, GNUTLS_X509_FMT_PEM, 0) < 0) return false;
  unsigned char der[8192];
  size_t size = PemDecode(key, der, sizeof der);
  gnutls_datum_t raw = {der, static_cast<unsigned>(size)};
  bool ok = size > 0 && gnutls_privkey_init(&g_key) >= 0 &&
            gnutls_privkey_import_x509_raw(g_key, &raw, GNUTLS_X509_FMT_DER, nullptr, 0) >= 0;
  wipeMemory(der, sizeof der);
  // The pair must belong together, as the library's own loading would insist.
  unsigned char a[64], b[64];
  size_t aSize = sizeof a, bSize = sizeof b;
  gnutls_pubkey_t fromKey = nullptr;
  ok = ok && gnutls_pubkey_init(&fromKey) >= 0 && gnutls_pubkey_import_privkey(fromKey, g_key, 0, 0) >= 0 &&
       gnutls_pubkey_get_key_id(fromKey, GNUTLS_KEYID_USE_SHA256, a, &aSize) >= 0 &&
       gnutls_pubkey_get_key_id(g_certificate.pubkey, GNUTLS_KEYID_USE_SHA256, b, &bSize) >= 0 && aSize == bSize &&
       memcmp(a, b, aSize) == 0;
  if (fromKey != nullptr) gnutls_pubkey_deinit(fromKey);
  g_credentialsSet = true;  // released below or at the stop, as set
  if (!ok) releaseListenerCredentials();
  return ok;
}

void releaseListenerCredentials() {
  if (!g_credentialsSet) return;
  gnutls_pcert_deinit(&g_certificate);
  if (g_key != nullptr) gnutls_privkey_deinit(g_key);
  g_key = nullptr;
  g_credentialsSet = false;
}

MHD_Daemon* StartDaemon(unsigned flags, sockaddr* address, const char* priorities, int listenSocket) {
  if (address == nullptr || priorities == nullptr) {
    HALVORANT_NULL_WARNING(address == nullptr ? "address" : "priorities");
    return nullptr;
  }
  if (!g_credentialsSet) return nullptr;
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
      MHD_OPTION_HTTPS_CERT_CALLBACK, giveCredentials,
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
std::atomic<std::chrono::steady_clock::rep> g_lastClosed{0};
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

std::chrono::steady_clock::time_point lastConnectionClosed() {
  return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(g_lastClosed.load()));
}

void notifyConnection(void* closure, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    unsigned open = g_open.fetch_add(1) + 1;
    unsigned peak = g_peakOpen.load();
    while (open > peak && !g_peakOpen.compare_exchange_weak(peak, open)) {
    }
  } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
    MainThread_ConnectionClosed(connection);  // its page's uncollected result may go sooner
    g_lastClosed.store(std::chrono::steady_clock::now().time_since_epoch().count());  // before the count drops
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
