// Internal to src/session/: no other module includes it.
// The host interface adapters may look up at run time (declared in
// adapters/include/HalvorantAdapter.h, exported by the executable): HalvorantHost_Origin()
// answers the origin of the request being processed on the calling thread ("null" for an
// opaque one); the site functions act on that request's site.
#pragma once

// Sets the origin for the calling thread while the scope lives; the text must outlive it.
class HalvorantHostOriginScope {
 public:
  explicit HalvorantHostOriginScope(const char* origin);
  ~HalvorantHostOriginScope();
  HalvorantHostOriginScope(const HalvorantHostOriginScope&) = delete;
  HalvorantHostOriginScope& operator=(const HalvorantHostOriginScope&) = delete;

 private:
  const char* previous_;
};

// The origin (or opaque identity) the calling thread processes a request for; null outside.
const char* hostOriginOfThread();
