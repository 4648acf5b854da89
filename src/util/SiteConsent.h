// What the person decided in dialogs about sites: consents granted (per site and purpose),
// refusals and blocks. Kept in memory only, never written anywhere; part of nox_site so
// that the service (for all sessions, through the host interface) and an adapter on its
// own (for its session, without that interface) keep the same rules.
//
// Rules, by site (registrable domain):
// - a consent granted for a purpose holds until the book goes (the service's lifetime);
// - a second refusal within kSiteRefusalWindow of the first refuses the site for
//   kSiteRefusalTime: no dialog, whatever was granted; counting starts afresh after it;
// - "Block this site" refuses it for good and forgets its consents.
// Verdicts and decisions are the host interface's values (HalvorantAdapter.h).
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "HalvorantAdapter.h"

constexpr int64_t kSiteRefusalWindow = 600;  // seconds
constexpr int64_t kSiteRefusalTime = 600;    // seconds
// Records beyond this are made only after stale ones (nothing granted or blocked, no
// refusal in force or counting) are dropped; each record took a person's click.
constexpr size_t kSiteBookMaxSites = 1024;

struct SiteRecord {
  std::set<std::string> granted;  // purposes
  int64_t lastRefusal = -1;       // a refusal that counts towards the next, or -1
  int64_t refusedUntil = 0;
  bool blocked = false;
};

struct SiteBook {
  std::mutex lock;
  std::map<std::string, SiteRecord> sites;
};

// HALVORANT_SITE_BLOCKED, _REFUSED, _GRANTED (purpose granted) or _ASK for site at now
// (seconds of a steady clock). A null or empty purpose is never granted.
int siteVerdict(SiteBook& book, const std::string& site, const char* purpose, int64_t now);
// Records decision (HALVORANT_SITE_GRANTED for purpose, _REFUSED, _BLOCKED) and answers the
// verdict then in force; any other decision changes nothing.
int siteDecision(SiteBook& book, const std::string& site, const char* purpose, int decision, int64_t now);
