// Listener module call point. The HTTPS listeners (credentials, TLS priority, six
// daemons, key wiping) replace this file; until then start-up runs without them.
#include "front/Halvorant.h"

int startListeners() { return kListenersNotBuilt; }
