// The PKI adapter's dialogs in one place: who is asking as the person is shown it, text
// from outside made safe to show, and the rules that decide whether a dialog may open.
//
// Every dialog begins with the requesting site (registrable domain) alone on its first
// line, then the page's origin, elided from the left when long ("...example.com.evil.test"
// keeps the end that names the site) and never cut at its end; hosts are shown in ASCII
// (IDN in punycode), anything else not printable as %XX. Texts a token supplies (labels,
// subjects) are shown with control and direction-changing characters written out.
//
// Whether a dialog may open is decided by site, for every session of the service, through
// the host interface (HalvorantAdapter.h; without it, for this session only): an opaque
// origin (a sandboxed frame) is never asked about; a site the person refused twice within
// 10 minutes gets no dialog for 10 minutes, one the person blocked ("Block this site")
// none while the service runs; a consent the person granted holds for the site while the
// service runs. One dialog at a time: a dialog waits for the service's one dialog turn
// (the time it waits comes off its own), and is refused as BUSY when that time runs out.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

#include "AdapterKit.h"
#include "Pinentry.h"

namespace dialogs {

// The page a dialog speaks for.
struct Requester {
  bool opaque = false;  // an opaque origin: no site, never asked about
  std::string site;     // shown: its registrable domain, empty when the host gives no origin
  std::string origin;   // shown: elided from the left to kShownOriginMax
};

constexpr const char* kTitle = "NoxHalvorant";
constexpr size_t kShownOriginMax = 64;
constexpr size_t kShownTextMax = 120;

// The requester of the call in progress, from the host's HalvorantHost_Origin.
Requester requester();
// The origin of the call in progress exactly as the host gives it ("" without one).
std::string origin();
// The same for an origin as the host gives it ("null" is opaque; empty is unknown).
Requester requesterOf(const std::string& origin);
// An origin as a dialog shows it: ASCII (IDN hosts in punycode), bytes outside printable
// ASCII as %XX, and when longer than max "..." and its end, from the start of a label.
std::string shownOrigin(const std::string& origin, size_t max = kShownOriginMax);
// Text a token supplies as a dialog shows it: control characters and the characters that
// change writing direction as \xNN / \u{NNNN}, cut after max bytes (whole characters)
// with "...".
std::string shownText(const std::string& text, size_t max = kShownTextMax);
// The dialog's full description: the site line, the origin line, then body.
std::string describe(const Requester& who, const std::string& body);

// Why no dialog opened, or what the person's answer means for the page.
struct Refusal {
  adapterkit::ErrorCode code;
  std::string message;
};

// Runs show (one dialog, given the seconds it may take) for the requesting site when the
// rules let a dialog open; seconds is the most the wait for the turn and the dialog may
// take together. With purpose, a consent granted earlier for it answers Ok without a
// dialog, and an Ok from show is remembered as granted. The person's refusal (Cancelled)
// and block (NotOk) are remembered for the site. False with *why when no dialog opened.
bool ask(const Requester& who, const char* purpose, int seconds, const std::function<pinentry::Outcome(int)>& show,
         pinentry::Outcome* outcome, Refusal* why);

// A yes/no question for the requesting site, with the buttons "Allow", "Deny" and
// "Block this site": true when allowed (now, or earlier for purpose when purpose is
// given); otherwise *why: CONSENT_DENIED (refused, blocked, or refused earlier),
// USER_CANCELLED (not answered in time), BUSY, TOKEN_ERROR (no dialog program). refused
// is the message for a refusal.
bool confirm(const Requester& who, const char* purpose, const std::string& body, const char* refused, int seconds,
             Refusal* why);

// The answer a PIN dialog's outcome gives the page when it is not Ok.
Refusal pinRefusal(pinentry::Outcome outcome);

}  // namespace dialogs
