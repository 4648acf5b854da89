// The request origin offered to adapters. Per thread: a main-thread call and a listener
// call never see each other's origin.
#include "session/HostOrigin.h"

#include "HalvorantAdapter.h"

namespace {
thread_local const char* t_origin = nullptr;
}  // namespace

HalvorantHostOriginScope::HalvorantHostOriginScope(const char* origin) : previous_(t_origin) { t_origin = origin; }

HalvorantHostOriginScope::~HalvorantHostOriginScope() { t_origin = previous_; }

extern "C" HALVORANT_ADAPTER_EXPORT const char* HalvorantHost_Origin(void) { return t_origin; }
