// The person's decisions about sites, by the rules in SiteConsent.h.
#include "util/SiteConsent.h"

namespace {

bool stale(const SiteRecord& record, int64_t now) {
  return !record.blocked && record.granted.empty() && record.refusedUntil <= now &&
         (record.lastRefusal < 0 || now - record.lastRefusal >= kSiteRefusalWindow);
}

int verdictLocked(const SiteBook& book, const std::string& site, const char* purpose, int64_t now) {
  auto found = book.sites.find(site);
  if (found == book.sites.end()) return HALVORANT_SITE_ASK;
  const SiteRecord& record = found->second;
  if (record.blocked) return HALVORANT_SITE_BLOCKED;
  if (record.refusedUntil > now) return HALVORANT_SITE_REFUSED;
  if (purpose != nullptr && purpose[0] != '\0' && record.granted.count(purpose) != 0) return HALVORANT_SITE_GRANTED;
  return HALVORANT_SITE_ASK;
}

// The site's record, made when there is room; null when the book is full of live ones.
SiteRecord* recordOf(SiteBook& book, const std::string& site, int64_t now) {
  auto found = book.sites.find(site);
  if (found != book.sites.end()) return &found->second;
  if (book.sites.size() >= kSiteBookMaxSites) {
    for (auto it = book.sites.begin(); it != book.sites.end();) it = stale(it->second, now) ? book.sites.erase(it) : ++it;
    if (book.sites.size() >= kSiteBookMaxSites) return nullptr;
  }
  return &book.sites[site];
}

}  // namespace

int siteVerdict(SiteBook& book, const std::string& site, const char* purpose, int64_t now) {
  std::lock_guard<std::mutex> hold(book.lock);
  return verdictLocked(book, site, purpose, now);
}

int siteDecision(SiteBook& book, const std::string& site, const char* purpose, int decision, int64_t now) {
  std::lock_guard<std::mutex> hold(book.lock);
  SiteRecord* record = nullptr;
  switch (decision) {
    case HALVORANT_SITE_GRANTED:
      if (purpose == nullptr || purpose[0] == '\0' || (record = recordOf(book, site, now)) == nullptr) break;
      record->granted.insert(purpose);
      record->lastRefusal = -1;  // the person changed their mind: counting starts afresh
      break;
    case HALVORANT_SITE_REFUSED:
      if ((record = recordOf(book, site, now)) == nullptr) break;
      if (record->lastRefusal >= 0 && now - record->lastRefusal < kSiteRefusalWindow) {
        record->refusedUntil = now + kSiteRefusalTime;
        record->lastRefusal = -1;
      } else {
        record->lastRefusal = now;
      }
      break;
    case HALVORANT_SITE_BLOCKED:
      if ((record = recordOf(book, site, now)) == nullptr) break;
      record->blocked = true;
      record->granted.clear();
      break;
    default:
      break;
  }
  return verdictLocked(book, site, purpose, now);
}
