// Sites: the registrable domain (public suffix + one label) of a page's origin, the unit
// by which limits protecting one party from another are counted. Its own library
// (nox_site: libpsl only, no console, no allocation after the first call), so adapters
// can link it for their dialogs.
//
// "https://a.b.example.co.uk:8443" -> "example.co.uk". A host that is itself a public
// suffix, an IP literal, "localhost" or a single label is its own site; so is anything
// that is not a scheme://host origin (e.g. "null"), taken whole. Hosts are compared as
// the browser sends them (IDN hosts arrive as punycode), lower-cased, without a trailing
// dot.
//
// Opaque origins (the Origin "null" of a sandboxed frame) act under an identity of their
// own: kOpaqueOriginPrefix followed by the origin the Referer gave ("null:https://bank.test").
// No page's origin begins so, so the identity never equals a real origin; its site is the
// prefix followed by the Referer origin's site ("null:bank.test"), apart from that site's.
#pragma once
#include <cstddef>

constexpr char kOpaqueOriginPrefix[] = "null:";

// True for "null" and for an identity made with kOpaqueOriginPrefix.
bool isOpaqueOrigin(const char* origin);

// Writes origin's site into out (NUL-terminated, cut to size - 1); returns out. A null
// origin gives the empty text.
char* siteOfOrigin(const char* origin, char* out, size_t size);

// True when both origins belong to the same site.
bool sameSite(const char* a, const char* b);

constexpr size_t kSiteSize = 256;
