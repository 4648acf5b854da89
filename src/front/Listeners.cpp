// Start-up steps of the listeners: sockets from the service manager, the six HTTPS
// listeners, the owner of a port another user holds, key wiping.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "front/Key.h"
#include "platform/Platform.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

// Stack that starting a listener may use below this frame (TLS key parsing included).
constexpr size_t kListenerStartStack = 256 * 1024;
const char kActivation[] = "Socket activation: ";

// The listener addresses by slot: 2*i is 127.0.0.1:ports[i], 2*i+1 is [::1]:ports[i].
sockaddr_storage slotAddress(const int ports[3], int slot) {
  sockaddr_storage address;
  memset(&address, 0, sizeof address);
  const uint16_t port = htons(static_cast<uint16_t>(ports[slot / 2]));
  if (slot % 2 == 0) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    v4->sin_port = port;
  } else {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    v6->sin6_family = AF_INET6;
    v6->sin6_addr = in6addr_loopback;
    v6->sin6_port = port;
  }
  return address;
}

// "127.0.0.1:54469", "[::1]:54469"; "?" for anything else.
std::string endpointText(const sockaddr_storage& address) {
  char host[INET6_ADDRSTRLEN] = "?";
  if (address.ss_family == AF_INET) {
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
    return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return "?";
}

bool sameEndpoint(const sockaddr_storage& a, const sockaddr_storage& b) {
  if (a.ss_family != b.ss_family) return false;
  if (a.ss_family == AF_INET) {
    const auto* x = reinterpret_cast<const sockaddr_in*>(&a);
    const auto* y = reinterpret_cast<const sockaddr_in*>(&b);
    return x->sin_port == y->sin_port && x->sin_addr.s_addr == y->sin_addr.s_addr;
  }
  const auto* x = reinterpret_cast<const sockaddr_in6*>(&a);
  const auto* y = reinterpret_cast<const sockaddr_in6*>(&b);
  return x->sin6_port == y->sin6_port && memcmp(&x->sin6_addr, &y->sin6_addr, sizeof x->sin6_addr) == 0;
}

// The slot a handed-over socket serves, or -1 with *why (the socket is then not used).
int slotOf(int fd, const int ports[3], const int slots[6], std::string* why) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  sockaddr_storage address;
  socklen_t length = sizeof address;
  memset(&address, 0, sizeof address);
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM ||
      getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &(size = sizeof listening)) != 0 || listening == 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
    *why = "is not a listening TCP socket";
    return -1;
  }
  for (int slot = 0; slot < 6; ++slot) {
    if (!sameEndpoint(address, slotAddress(ports, slot))) continue;
    if (slots[slot] >= 0) {
      *why = "(" + endpointText(address) + ") repeats an address";
      return -1;
    }
    return slot;
  }
  *why = "(" + endpointText(address) + ") is not one of the service's addresses";
  return -1;
}

// Names the owner of a port another user holds (the listener could not bind it).
void nameSquatter(const sockaddr_storage& address) {
  uint32_t owner = 0;
  if (platformPortHolder(reinterpret_cast<const sockaddr*>(&address), &owner) != kPeerOtherUser) return;
  const std::string text = endpointText(address) + " (uid " + std::to_string(owner) + ")";
  printfColorErrorLine("Port held by another user: ", text.c_str());
}

}  // namespace

void matchActivationSockets(int first, int count, const int ports[3], int slots[6]) {
  for (int slot = 0; slot < 6; ++slot) slots[slot] = -1;
  if (count <= 0) return;
  printfColorLine(kActivation, (std::to_string(count) + " listening sockets from the service manager").c_str());
  for (int fd = first; fd < first + count; ++fd) {
    std::string why;
    int slot = slotOf(fd, ports, slots, &why);
    if (slot < 0) {
      printfColorErrorLine(kActivation, ("descriptor " + std::to_string(fd) + " " + why + ": closed").c_str());
      close(fd);
      continue;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);  // the listener's loop must never block in accept
    slots[slot] = fd;
  }
  for (int slot = 0; slot < 6; ++slot) {
    if (slots[slot] >= 0) continue;
    const std::string text = "no socket for " + endpointText(slotAddress(ports, slot)) +
                             " from the service manager: bound here";
    printfColorErrorLine(kActivation, text.c_str());
  }
}

int startListeners() {
  char* certificate = getCert();
  char* key = getKey();
  if (certificate == nullptr || key == nullptr) {  // prepareStartCredentials said why
    freeMem(certificate);
    freeTextWiped(key);
    return 0;
  }

  if (!setListenerCredentials(certificate, key)) {
    printfColorErrorLine("Credentials: ", "the localhost certificate and its key cannot be used together");
    freeMem(certificate);
    freeTextWiped(key);
    return 0;
  }

  int first = -1;
  int handed[6];
  matchActivationSockets(first, platformActivationSockets(&first), ServicePorts, handed);

  int started = 0;
  for (int slot = 0; slot < 6; ++slot) {
    sockaddr_storage address = slotAddress(ServicePorts, slot);
    const bool ipv4 = slot % 2 == 0;
    MHD_Daemon* daemon = StartDaemon(ipv4 ? kDaemonFlagsIPv4 : kDaemonFlagsIPv6, reinterpret_cast<sockaddr*>(&address),
                                     kTlsPriorities, handed[slot]);
    if (daemon == nullptr && handed[slot] >= 0) close(handed[slot]);
    if (daemon == nullptr && handed[slot] < 0) nameSquatter(address);
    (ipv4 ? DaemonIPv4 : DaemonIPv6)[slot / 2] = daemon;
    started += daemon != nullptr;
  }

  // The TLS library keeps the parsed pair; the texts go now, and what the parsing of the
  // key left on this thread's stack with them.
  printfColorLine("", "Destroy key");
  size_t length = strlen(key);
  getSecureRandom(reinterpret_cast<unsigned char*>(key), static_cast<int>(length));
  freeWiped(key, length);
  wipeStackBelow(kListenerStartStack);
  printfColorLine("", "Destroy cert");
  freeMem(certificate);
  printfColorLine("", "HTTPS Mode");
  return started;
}
