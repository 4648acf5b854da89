// Start-up steps of the listeners: credentials, the six HTTPS listeners, key wiping.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/HalvorantHttp.h"
#include "front/Key.h"
#include "platform/Wipe.h"
#include "util/Tool.h"

namespace {

// Stack that starting a listener may use below this frame (TLS key parsing included).
constexpr size_t kListenerStartStack = 256 * 1024;

}  // namespace

int startListeners() {
  char* certificate = getCert();
  if (certificate == nullptr) return 0;  // getCert printed the allocation-failure lines
  char* key = getKey();
  if (key == nullptr) {
    freeMem(certificate);
    return 0;
  }

  sockaddr_in v4;
  memset(&v4, 0, sizeof v4);
  v4.sin_family = AF_INET;
  v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in6 v6;
  memset(&v6, 0, sizeof v6);
  v6.sin6_family = AF_INET6;
  v6.sin6_addr = in6addr_loopback;

  int started = 0;
  for (int i = 0; i < 3; ++i) {
    v4.sin_port = htons(static_cast<uint16_t>(ServicePorts[i]));
    DaemonIPv4[i] = StartDaemon(kDaemonFlagsIPv4, reinterpret_cast<sockaddr*>(&v4), certificate, key, kTlsPriorities);
    v6.sin6_port = htons(static_cast<uint16_t>(ServicePorts[i]));
    DaemonIPv6[i] = StartDaemon(kDaemonFlagsIPv6, reinterpret_cast<sockaddr*>(&v6), certificate, key, kTlsPriorities);
    started += (DaemonIPv4[i] != nullptr) + (DaemonIPv6[i] != nullptr);
  }

  // The TLS library keeps its own copies; ours go now, and what its parsing of the key
  // left on this thread's stack with them.
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
