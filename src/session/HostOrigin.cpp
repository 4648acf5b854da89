// The request origin offered to adapters. Per thread: a main-thread call and a listener
// call never see each other's origin.
#include "session/HostOrigin.h"

#include "HalvorantAdapter.h"
#include "util/Site.h"

namespace {
thread_local const char* t_origin = nullptr;
}  // namespace

HalvorantHostOriginScope::HalvorantHostOriginScope(const char* origin) : previous_(t_origin) { t_origin = origin; }

HalvorantHostOriginScope::~HalvorantHostOriginScope() { t_origin = previous_; }

const char* hostOriginOfThread() { return t_origin; }

// An opaque identity is the service's own bookkeeping: adapters learn only that the page
// is opaque, never the Referer's origin it was derived from.
extern "C" HALVORANT_ADAPTER_EXPORT const char* HalvorantHost_Origin(void) {
  return isOpaqueOrigin(t_origin) ? "null" : t_origin;
}
