// Dialog texts and the site rules of Dialogs.h.
#include "Dialogs.h"

#include <dlfcn.h>
#include <idn2.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "util/Site.h"
#include "util/SiteConsent.h"

namespace dialogs {

namespace {

using adapterkit::ErrorCode;
using Clock = std::chrono::steady_clock;

// The least a dialog is left after waiting for its turn: less is no time to read it.
constexpr int kLeastDialogSeconds = 10;

template <typename Function>
Function hostFunction(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, name));
}

// Without the host interface: this session's own decisions and turn.
SiteBook g_ownBook;
// This session's dialog turn, when the host keeps none. A flag under a plain mutex rather
// than a timed mutex: the race detector does not see the clock-based lock a timed mutex uses.
std::mutex g_ownTurnLock;
std::condition_variable g_ownTurnFree;
bool g_ownTurnTaken = false;

bool takeOwnTurn(std::chrono::milliseconds wait) {
  std::unique_lock<std::mutex> lock(g_ownTurnLock);
  if (!g_ownTurnFree.wait_for(lock, wait, [] { return !g_ownTurnTaken; })) return false;
  g_ownTurnTaken = true;
  return true;
}

void giveOwnTurn() {
  {
    std::lock_guard<std::mutex> lock(g_ownTurnLock);
    g_ownTurnTaken = false;
  }
  g_ownTurnFree.notify_one();
}

int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(Clock::now().time_since_epoch()).count();
}

int verdict(const Requester& who, const char* purpose) {
  if (who.opaque) return HALVORANT_SITE_BLOCKED;
  auto host = hostFunction<HalvorantHostSiteVerdictFunction>(HALVORANT_HOST_SITE_VERDICT);
  int answer = host != nullptr ? host(purpose) : -1;
  return answer >= 0 ? answer : siteVerdict(g_ownBook, who.site, purpose, nowSeconds());
}

void decide(const Requester& who, const char* purpose, int decision) {
  if (who.opaque) return;
  auto host = hostFunction<HalvorantHostSiteDecisionFunction>(HALVORANT_HOST_SITE_DECISION);
  if (host == nullptr || host(purpose, decision) < 0) siteDecision(g_ownBook, who.site, purpose, decision, nowSeconds());
}

// The one dialog turn while it lives (the host's, else this session's).
class Turn {
 public:
  explicit Turn(std::chrono::milliseconds wait) {
    take_ = hostFunction<HalvorantHostDialogTurnFunction>(HALVORANT_HOST_DIALOG_TURN);
    done_ = hostFunction<HalvorantHostDialogDoneFunction>(HALVORANT_HOST_DIALOG_DONE);
    int taken = take_ != nullptr && done_ != nullptr ? take_(static_cast<int>(wait.count())) : -1;
    if (taken >= 0) {
      held_ = taken == 1;
      own_ = false;
    } else {
      held_ = own_ = takeOwnTurn(wait);
    }
  }
  ~Turn() {
    if (!held_) return;
    if (own_) giveOwnTurn();
    else done_();
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;
  bool held() const { return held_; }

 private:
  HalvorantHostDialogTurnFunction take_ = nullptr;
  HalvorantHostDialogDoneFunction done_ = nullptr;
  bool held_ = false;
  bool own_ = false;
};

// Why a site gets no dialog, for a verdict that refuses it; false for one that does not.
bool refusedBy(int verdictNow, const Requester& who, Refusal* why) {
  if (who.opaque) {
    *why = {ErrorCode::ConsentDenied, "A page without an origin of its own (a sandboxed frame) cannot ask the user."};
  } else if (verdictNow == HALVORANT_SITE_BLOCKED) {
    *why = {ErrorCode::ConsentDenied, "The user blocked this site."};
  } else if (verdictNow == HALVORANT_SITE_REFUSED) {
    *why = {ErrorCode::ConsentDenied, "The user refused this site twice; it may ask again in 10 minutes."};
  } else {
    return false;
  }
  return true;
}

bool printableAscii(unsigned char c) { return c >= 0x20 && c < 0x7f; }

void appendPercent(std::string& out, unsigned char c) {
  char hex[4];
  snprintf(hex, sizeof hex, "%%%02X", c);
  out += hex;
}

// origin with an IDN host in punycode; as it was when it has none or cannot be converted.
std::string asciiHost(const std::string& origin) {
  size_t scheme = origin.find("://");
  if (scheme == std::string::npos) return origin;
  size_t start = scheme + 3;
  size_t end = origin.find_first_of(":/?#", start);
  if (end == std::string::npos) end = origin.size();
  std::string host = origin.substr(start, end - start);
  bool plain = true;
  for (unsigned char c : host) plain = plain && c < 0x80;
  if (plain) return origin;
  char* converted = nullptr;
  if (idn2_to_ascii_8z(host.c_str(), &converted, IDN2_NONTRANSITIONAL) != IDN2_OK &&
      idn2_to_ascii_8z(host.c_str(), &converted, IDN2_TRANSITIONAL) != IDN2_OK)
    return origin;
  std::string out = origin.substr(0, start) + converted + origin.substr(end);
  idn2_free(converted);
  return out;
}

std::string percentEscaped(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (printableAscii(c) && c != '%') out += static_cast<char>(c);
    else appendPercent(out, c);
  }
  return out;
}

// The code point of the UTF-8 sequence at text[i] and its length; 0 length when malformed.
char32_t decodeAt(const std::string& text, size_t i, size_t* length) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
  *length = 0;
  if (n == 0 || i + n > text.size()) return 0;
  char32_t point = n == 1 ? c : c & (0x7f >> n);
  for (size_t k = 1; k < n; ++k) {
    unsigned char next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xc0) != 0x80) return 0;
    point = (point << 6) | (next & 0x3f);
  }
  *length = n;
  return point;
}

bool changesDirection(char32_t c) {
  return c == 0x200e || c == 0x200f || c == 0x061c || (c >= 0x202a && c <= 0x202e) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

Requester requesterOf(const std::string& origin) {
  Requester who;
  if (isOpaqueOrigin(origin.c_str())) {
    who.opaque = true;
    return who;
  }
  if (origin.empty()) return who;
  std::string ascii = asciiHost(origin);
  char site[kSiteSize];
  who.site = percentEscaped(siteOfOrigin(ascii.c_str(), site, sizeof site));
  who.origin = shownOrigin(ascii);
  return who;
}

std::string origin() {
  auto host = hostFunction<HalvorantHostOriginFunction>(HALVORANT_HOST_ORIGIN);
  const char* text = host != nullptr ? host() : nullptr;
  return text != nullptr ? text : "";
}

Requester requester() { return requesterOf(origin()); }

std::string shownOrigin(const std::string& origin, size_t max) {
  std::string text = percentEscaped(asciiHost(origin));
  if (text.size() <= max || max <= 3) return text;
  size_t from = text.size() - (max - 3);
  // Start at a label, so that no part of a name reads as another name; but never with the
  // last label alone.
  if (text[from - 1] != '.') {
    size_t dot = text.find('.', from);
    if (dot != std::string::npos && text.find('.', dot + 1) != std::string::npos) from = dot + 1;
  }
  return "..." + text.substr(from);
}

std::string shownText(const std::string& text, size_t max) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    size_t length = 0;
    char32_t c = decodeAt(text, i, &length);
    std::string piece;
    if (length == 0) {
      piece = "\\x";
      char hex[3];
      snprintf(hex, sizeof hex, "%02x", static_cast<unsigned char>(text[i]));
      piece += hex;
      length = 1;
    } else if (c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0)) {
      char hex[16];  // room for any unsigned, so the compiler can tell nothing is cut
      snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned>(c));
      piece = hex;
    } else if (changesDirection(c)) {
      char hex[16];
      snprintf(hex, sizeof hex, "\\u{%04x}", static_cast<unsigned>(c));
      piece = hex;
    } else {
      piece = text.substr(i, length);
    }
    if (out.size() + piece.size() > max) return out + "...";
    out += piece;
    i += length;
  }
  return out;
}

std::string describe(const Requester& who, const std::string& body) {
  if (who.site.empty()) return "A page of unknown origin\n\n" + body;
  return who.site + "\n" + who.origin + "\n\n" + body;
}

bool ask(const Requester& who, const char* purpose, int seconds, const std::function<pinentry::Outcome(int)>& show,
         pinentry::Outcome* outcome, Refusal* why) {
  int now = verdict(who, purpose);
  if (refusedBy(now, who, why)) return false;
  if (purpose != nullptr && now == HALVORANT_SITE_GRANTED) {
    *outcome = pinentry::Outcome::Ok;
    return true;
  }
  const Clock::time_point start = Clock::now();
  Turn turn(std::chrono::seconds(std::max(0, seconds - kLeastDialogSeconds)));
  if (!turn.held()) {
    *why = {ErrorCode::Busy, "Another dialog is waiting for the user; ask again once it is answered."};
    return false;
  }
  // Decided meanwhile, perhaps in the dialog this one waited for.
  now = verdict(who, purpose);
  if (refusedBy(now, who, why)) return false;
  if (purpose != nullptr && now == HALVORANT_SITE_GRANTED) {
    *outcome = pinentry::Outcome::Ok;
    return true;
  }
  int waited = static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - start).count());
  *outcome = show(std::max(1, seconds - waited));
  if (*outcome == pinentry::Outcome::Ok && purpose != nullptr) decide(who, purpose, HALVORANT_SITE_GRANTED);
  if (*outcome == pinentry::Outcome::Cancelled) decide(who, purpose, HALVORANT_SITE_REFUSED);
  if (*outcome == pinentry::Outcome::NotOk) decide(who, purpose, HALVORANT_SITE_BLOCKED);
  return true;
}

bool confirm(const Requester& who, const char* purpose, const std::string& body, const char* refused, int seconds,
             Refusal* why) {
  pinentry::Outcome outcome = pinentry::Outcome::Unavailable;
  auto show = [&who, &body](int left) {
    return pinentry::confirm(kTitle, describe(who, body), "Allow", "Deny", "Block this site", left);
  };
  if (!ask(who, purpose, seconds, show, &outcome, why)) return false;
  switch (outcome) {
    case pinentry::Outcome::Ok:
      return true;
    case pinentry::Outcome::NotOk:
      *why = {ErrorCode::ConsentDenied, "The user blocked this site."};
      return false;
    case pinentry::Outcome::Cancelled:
      *why = {ErrorCode::ConsentDenied, refused};
      return false;
    case pinentry::Outcome::TimedOut:
    case pinentry::Outcome::Unavailable:
      break;
  }
  *why = pinRefusal(outcome);
  return false;
}

Refusal pinRefusal(pinentry::Outcome outcome) {
  switch (outcome) {
    case pinentry::Outcome::TimedOut:
      return {ErrorCode::UserCancelled, "The dialog was not answered in time."};
    case pinentry::Outcome::Unavailable:
      return {ErrorCode::TokenError, "No pinentry dialog program could be started."};
    default:
      return {ErrorCode::UserCancelled, "The user closed the dialog."};
  }
}

}  // namespace dialogs
