// The host interface adapters look up at run time (adapters/include/HalvorantAdapter.h):
// the request origin, per thread (a main-thread call and a listener call never see each
// other's origin); the person's decisions about sites for every session and adapter of
// this service (SiteConsent.h); and the one dialog turn. One object file, so that the
// linker keeps all of them with the origin scope that request processing uses.
#include "session/HostInterface.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "HalvorantAdapter.h"
#include "util/Site.h"
#include "util/SiteConsent.h"

namespace {

thread_local const char* t_origin = nullptr;

using Clock = std::chrono::steady_clock;

// A turn held this long (a dialog's longest wait and its grace, and more) is taken back:
// a thread that never gives it back cannot silence every dialog.
constexpr std::chrono::seconds kTurnLease{150};

SiteBook g_book;

std::mutex g_turnLock;
std::condition_variable g_turnFree;
bool g_turnHeld = false;
pthread_t g_turnHolder;
Clock::time_point g_turnSince;

int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
}

}  // namespace

HalvorantHostOriginScope::HalvorantHostOriginScope(const char* origin) : previous_(t_origin) { t_origin = origin; }

HalvorantHostOriginScope::~HalvorantHostOriginScope() { t_origin = previous_; }

const char* hostOriginOfThread() { return t_origin; }

// An opaque identity is the service's own bookkeeping: adapters learn only that the page
// is opaque, never the Referer's origin it was derived from.
extern "C" HALVORANT_ADAPTER_EXPORT const char* HalvorantHost_Origin(void) {
  return isOpaqueOrigin(t_origin) ? "null" : t_origin;
}

extern "C" HALVORANT_ADAPTER_EXPORT int HalvorantHost_SiteVerdict(const char* purpose) {
  const char* origin = hostOriginOfThread();
  if (origin == nullptr) return -1;
  if (isOpaqueOrigin(origin)) return HALVORANT_SITE_BLOCKED;
  char site[kSiteSize];
  return siteVerdict(g_book, siteOfOrigin(origin, site, sizeof site), purpose, nowSeconds());
}

extern "C" HALVORANT_ADAPTER_EXPORT int HalvorantHost_SiteDecision(const char* purpose, int decision) {
  const char* origin = hostOriginOfThread();
  if (origin == nullptr) return -1;
  if (isOpaqueOrigin(origin)) return HALVORANT_SITE_BLOCKED;
  char site[kSiteSize];
  return siteDecision(g_book, siteOfOrigin(origin, site, sizeof site), purpose, decision, nowSeconds());
}

extern "C" HALVORANT_ADAPTER_EXPORT int HalvorantHost_DialogTurn(int waitMilliseconds) {
  if (hostOriginOfThread() == nullptr) return -1;
  const pthread_t self = pthread_self();
  std::unique_lock<std::mutex> lock(g_turnLock);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, waitMilliseconds));
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (!g_turnHeld || pthread_equal(g_turnHolder, self) || now >= g_turnSince + kTurnLease) break;
    if (now >= deadline) return 0;
    g_turnFree.wait_until(lock, std::min(deadline, g_turnSince + kTurnLease));
  }
  g_turnHeld = true;
  g_turnHolder = self;
  g_turnSince = Clock::now();
  return 1;
}

extern "C" HALVORANT_ADAPTER_EXPORT void HalvorantHost_DialogDone(void) {
  std::lock_guard<std::mutex> hold(g_turnLock);
  if (!g_turnHeld || !pthread_equal(g_turnHolder, pthread_self())) return;
  g_turnHeld = false;
  g_turnFree.notify_all();
}
