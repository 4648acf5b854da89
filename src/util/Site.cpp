// Registrable domains through libpsl (the list Debian ships, else the library's own).
#include "util/Site.h"

#include <libpsl.h>

#include <cctype>
#include <cstring>

namespace {

// The loaded list, freed when its library goes: each session's copy of an adapter that
// links this loads its own and unloads it with the copy.
struct LoadedList {
  psl_ctx_t* latest = psl_latest(nullptr);  // null when the file is missing
  ~LoadedList() { psl_free(latest); }
};

const psl_ctx_t* context() {
  static const LoadedList kList;
  return kList.latest != nullptr ? kList.latest : psl_builtin();
}

void copyCut(char* out, size_t size, const char* text, size_t length) {
  if (length >= size) length = size - 1;
  memcpy(out, text, length);
  out[length] = '\0';
}

bool isIpLiteral(const char* host) {
  if (host[0] == '[') return true;
  bool digitsOnly = true;
  for (const char* p = host; *p != '\0'; ++p)
    if (!isdigit(static_cast<unsigned char>(*p)) && *p != '.') digitsOnly = false;
  return digitsOnly;
}

// The site of an origin that is not an opaque identity.
void siteOfPlain(const char* origin, char* out, size_t size) {
  const char* scheme = strstr(origin, "://");
  if (scheme == nullptr || scheme == origin) {
    copyCut(out, size, origin, strlen(origin));
    return;
  }
  const char* host = scheme + 3;
  const char* at = strpbrk(host, "@/?#");
  if (at != nullptr && *at == '@') host = at + 1;  // user information is not part of the host
  size_t length = 0;
  if (host[0] == '[') {
    const char* close = strchr(host, ']');
    length = close != nullptr ? static_cast<size_t>(close - host) + 1 : strlen(host);
  } else {
    length = strcspn(host, ":/?#");
  }
  char name[kSiteSize];
  copyCut(name, sizeof name, host, length);
  for (char* p = name; *p != '\0'; ++p) *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
  size_t end = strlen(name);
  while (end > 0 && name[end - 1] == '.') name[--end] = '\0';
  const char* registrable = nullptr;
  if (end > 0 && !isIpLiteral(name)) registrable = psl_registrable_domain(context(), name);
  const char* site = registrable != nullptr ? registrable : name;
  copyCut(out, size, site, strlen(site));
}

}  // namespace

bool isOpaqueOrigin(const char* origin) {
  return origin != nullptr &&
         (strcmp(origin, "null") == 0 || strncmp(origin, kOpaqueOriginPrefix, sizeof kOpaqueOriginPrefix - 1) == 0);
}

char* siteOfOrigin(const char* origin, char* out, size_t size) {
  if (out == nullptr || size == 0) return out;
  out[0] = '\0';
  if (origin == nullptr) return out;
  constexpr size_t kPrefix = sizeof kOpaqueOriginPrefix - 1;
  if (strncmp(origin, kOpaqueOriginPrefix, kPrefix) == 0 && size > kPrefix + 1) {
    memcpy(out, kOpaqueOriginPrefix, kPrefix);
    siteOfPlain(origin + kPrefix, out + kPrefix, size - kPrefix);
  } else {
    siteOfPlain(origin, out, size);
  }
  return out;
}

bool sameSite(const char* a, const char* b) {
  char siteA[kSiteSize];
  char siteB[kSiteSize];
  return strcmp(siteOfOrigin(a, siteA, sizeof siteA), siteOfOrigin(b, siteB, sizeof siteB)) == 0;
}
