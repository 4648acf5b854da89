// NoxIdAdapter: the user's smart-card readers and cards, through PC/SC.
//
// Functions (answers are JSON texts):
//   "ListReaders"    -> {"readers":[{"name":..,"cardPresent":..,"atr":..,"state":[..]}]}
//   "GetCardStatus"  Reader (optional: the first reader with a card)
//                    -> {"reader":..,"present":..,"atr":..,"protocol":..,"cardType":..}
//   "WaitForCard"    Reader (optional), Timeout (seconds, 0..120, default 30): the card
//                    status once a card is present; "WaitForRemoval" once none is.
//   "GetCardData"    Reader (optional): the public facts the card's ATR announces.
// Failures answer {"error":{"code":"<CODE>","message":"<text>"}}.
//
// No function sends APDUs a page chose: the only card command is the connect that tells
// the active protocol. Every call opens its own PC/SC context and releases it, and a card
// connection is undone as soon as it is made (it is left to other programs unreset).
//
// Limits: every call ends within its own time-out (WaitFor*: Timeout) plus 10 s, whatever
// the smart-card service does. A daemon that does not answer gives NO_SERVICE (and later
// calls answer so at once until it answers again); a card held in another program's
// transaction gives BUSY after 3 s, and the next call starts clean.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#ifdef __APPLE__
#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#else
#include <winscard.h>
#endif

#include "AdapterKit.h"
#include "CardInfo.h"

using adapterkit::answer;
using adapterkit::ErrorCode;
using adapterkit::param;
using adapterkit::sameName;

namespace {

constexpr const char* kVersion = "1.1.0.0";
constexpr long kMaxWaitSeconds = 120;
constexpr long kDefaultWaitSeconds = 30;
// How long past its own time-out a call may wait for the PC/SC stack before it answers
// NO_SERVICE (a daemon that accepts connections but never answers).
constexpr auto kStackGrace = std::chrono::seconds(10);
// How long a connect may wait for a card another program holds in a transaction before
// the call answers BUSY, and how long the daemon then has to show that it still answers.
constexpr auto kBusyLimit = std::chrono::seconds(3);
constexpr auto kProbeLimit = std::chrono::seconds(3);
// The reader name pcsc-lite (and other PC/SC stacks) use to report readers coming and going.
constexpr const char* kPnpReader = "\\\\?PnP?\\Notification";
// Card-list files of the system's smart-card tools, when they are installed.
constexpr const char* kCardLists[] = {"/usr/share/pcsc/smartcard_list.txt",
                                      "/usr/local/share/pcsc/smartcard_list.txt"};

using Clock = std::chrono::steady_clock;

std::string failure(ErrorCode code, const std::string& message) { return adapterkit::errorJson(code, message); }

std::string pcscText(LONG rv) {
  char text[96];
  const char* name = "PC/SC error";
  switch (rv) {
    case SCARD_E_NO_SERVICE: name = "the smart-card service is not running"; break;
    case SCARD_E_SERVICE_STOPPED: name = "the smart-card service stopped"; break;
    case SCARD_F_COMM_ERROR: name = "lost the connection to the smart-card service"; break;
    case SCARD_E_NO_READERS_AVAILABLE: name = "no smart-card reader is attached"; break;
    case SCARD_E_UNKNOWN_READER: name = "the reader is not attached"; break;
    case SCARD_E_READER_UNAVAILABLE: name = "the reader is unavailable"; break;
    case SCARD_E_SHARING_VIOLATION: name = "another program holds the card"; break;
    case SCARD_W_UNRESPONSIVE_CARD: name = "the card does not respond"; break;
    case SCARD_W_REMOVED_CARD: name = "the card was removed"; break;
    case SCARD_E_NO_SMARTCARD: name = "no card in the reader"; break;
    case SCARD_E_TIMEOUT: name = "timed out"; break;
    default: break;
  }
  snprintf(text, sizeof text, "%s (0x%08lX)", name, static_cast<unsigned long>(rv) & 0xFFFFFFFFul);
  return text;
}

bool serviceGone(LONG rv) {
  return rv == static_cast<LONG>(SCARD_E_NO_SERVICE) || rv == static_cast<LONG>(SCARD_E_SERVICE_STOPPED) ||
         rv == static_cast<LONG>(SCARD_F_COMM_ERROR);
}

std::string pcscFailure(LONG rv) {
  if (serviceGone(rv)) return failure(ErrorCode::NoService, pcscText(rv));
  if (rv == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return failure(ErrorCode::NoReader, pcscText(rv));
  return failure(ErrorCode::TokenError, pcscText(rv));
}

// One PC/SC context for the length of one call.
struct Context {
  SCARDCONTEXT handle = 0;
  LONG status = static_cast<LONG>(SCARD_E_NO_SERVICE);
  Context() { status = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle); }
  ~Context() {
    if (status == SCARD_S_SUCCESS) SCardReleaseContext(handle);
  }
  void reopen() {
    if (status == SCARD_S_SUCCESS) SCardReleaseContext(handle);
    status = SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &handle);
  }
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  bool ok() const { return status == SCARD_S_SUCCESS; }
};

// The attached readers; an empty list is no failure.
LONG listReaders(const Context& context, std::vector<std::string>* names) {
  names->clear();
  for (int attempt = 0; attempt < 3; ++attempt) {  // the list may grow between the two calls
    DWORD size = 0;
    LONG rv = SCardListReaders(context.handle, nullptr, nullptr, &size);
    if (rv == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
    if (rv != SCARD_S_SUCCESS) return rv;
    std::vector<char> buffer(size + 1, '\0');
    rv = SCardListReaders(context.handle, nullptr, buffer.data(), &size);
    if (rv == static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER)) continue;
    if (rv == static_cast<LONG>(SCARD_E_NO_READERS_AVAILABLE)) return SCARD_S_SUCCESS;
    if (rv != SCARD_S_SUCCESS) return rv;
    for (const char* at = buffer.data(); *at != '\0' && at < buffer.data() + size; at += strlen(at) + 1)
      names->emplace_back(at);
    return SCARD_S_SUCCESS;
  }
  return static_cast<LONG>(SCARD_E_INSUFFICIENT_BUFFER);
}

struct ReaderState {
  std::string name;
  DWORD state = 0;
  std::vector<unsigned char> atr;
  bool present() const { return (state & SCARD_STATE_PRESENT) != 0; }
};

// Current state of each named reader, without waiting.
LONG readStates(const Context& context, const std::vector<std::string>& names, std::vector<ReaderState>* out) {
  out->clear();
  if (names.empty()) return SCARD_S_SUCCESS;
  std::vector<SCARD_READERSTATE> states(names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    memset(&states[i], 0, sizeof states[i]);
    states[i].szReader = names[i].c_str();
    states[i].dwCurrentState = SCARD_STATE_UNAWARE;
  }
  LONG rv = SCardGetStatusChange(context.handle, 0, states.data(), static_cast<DWORD>(states.size()));
  if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT)) return rv;
  for (size_t i = 0; i < names.size(); ++i) {
    ReaderState r;
    r.name = names[i];
    r.state = states[i].dwEventState;
    size_t atrLength = states[i].cbAtr <= sizeof states[i].rgbAtr ? states[i].cbAtr : 0;
    if (r.present()) r.atr.assign(states[i].rgbAtr, states[i].rgbAtr + atrLength);
    out->push_back(std::move(r));
  }
  return SCARD_S_SUCCESS;
}

std::string stateList(DWORD state) {
  static const struct {
    DWORD bit;
    const char* name;
  } kNames[] = {{SCARD_STATE_PRESENT, "present"},     {SCARD_STATE_EMPTY, "empty"},
                {SCARD_STATE_EXCLUSIVE, "exclusive"}, {SCARD_STATE_INUSE, "inuse"},
                {SCARD_STATE_MUTE, "mute"},           {SCARD_STATE_UNPOWERED, "unpowered"},
                {SCARD_STATE_UNAVAILABLE, "unavailable"}, {SCARD_STATE_UNKNOWN, "unknown"}};
  std::string out = "[";
  for (const auto& n : kNames)
    if ((state & n.bit) != 0) out += std::string(out.size() > 1 ? "," : "") + "\"" + n.name + "\"";
  return out + "]";
}

std::string atrJson(const ReaderState& r) {
  return r.atr.empty() ? "null" : "\"" + adapterkit::hexText(r.atr.data(), r.atr.size()) + "\"";
}

// One piece of PC/SC work on a thread of its own (libpcsclite has no time-out of its own
// for a daemon that stopped answering), waited for at most limit. A piece left behind
// counts in *stuck until it ends; its result, if it comes, goes nowhere.
struct Pending {
  std::mutex lock;
  bool finished = false;
  bool abandoned = false;
  std::string result;
};

bool runPcsc(Clock::duration limit, std::atomic<int>* stuck, std::function<std::string()> work, std::string* result) {
  auto pending = std::make_shared<Pending>();
  bool done = adapterkit::runBounded(std::chrono::duration_cast<std::chrono::milliseconds>(limit),
                                     [pending, stuck, work = std::move(work)] {
                                       std::string out = work();
                                       std::lock_guard<std::mutex> hold(pending->lock);
                                       pending->result = std::move(out);
                                       pending->finished = true;
                                       if (pending->abandoned) stuck->fetch_sub(1);
                                     });
  std::lock_guard<std::mutex> hold(pending->lock);
  if (!done && !pending->finished) {
    pending->abandoned = true;
    stuck->fetch_add(1);
    return false;
  }
  *result = std::move(pending->result);  // also when it finished just after the limit
  return true;
}

// Work still waiting for a daemon that did not answer: while there is any, later calls
// answer NO_SERVICE at once, so stuck threads never pile up.
std::atomic<int> g_daemonSilent{0};
// Connects still waiting for a card that another program holds in a transaction, and
// their readers (at most one each: a later call finds it there and answers BUSY at once).
std::atomic<int> g_cardBusy{0};
std::mutex g_busyLock;
std::set<std::string> g_busyReaders;

// Whether the daemon answers at all: a fresh context lists its readers within a moment.
bool daemonAnswers() {
  std::string answered;
  return runPcsc(kProbeLimit, &g_daemonSilent,
                 [] {
                   Context context;
                   std::vector<std::string> names;
                   return std::string(context.ok() && listReaders(context, &names) == SCARD_S_SUCCESS ? "yes" : "no");
                 },
                 &answered) &&
         answered == "yes";
}

std::string busyFailure(const std::string& reader) {
  return failure(ErrorCode::Busy, "another program is using the card in " + reader +
                                      " (it may be waiting for a PIN on the reader's keypad); try again when it is done");
}

// The protocol the card in reader runs, learnt by a shared connect on a context of its own
// that is undone at once; null when the card cannot be reached (held exclusively, mute).
// A connect that waits (another program's transaction) is left behind after kBusyLimit:
// *failed is then BUSY, or NO_SERVICE when the daemon itself no longer answers.
std::string protocolJson(const std::string& reader, std::string* failed) {
  {
    std::lock_guard<std::mutex> hold(g_busyLock);
    if (!g_busyReaders.insert(reader).second) {
      *failed = busyFailure(reader);
      return "null";
    }
  }
  std::string protocol;
  bool answered = runPcsc(kBusyLimit, &g_cardBusy,
                          [reader] {
                            Context context;
                            SCARDHANDLE card = 0;
                            DWORD active = 0;
                            LONG rv = context.ok() ? SCardConnect(context.handle, reader.c_str(), SCARD_SHARE_SHARED,
                                                                  SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &active)
                                                   : context.status;
                            if (rv == SCARD_S_SUCCESS) SCardDisconnect(card, SCARD_LEAVE_CARD);
                            std::lock_guard<std::mutex> hold(g_busyLock);
                            g_busyReaders.erase(reader);
                            if (rv != SCARD_S_SUCCESS) return std::string("null");
                            if (active == SCARD_PROTOCOL_T0) return std::string("\"T=0\"");
                            if (active == SCARD_PROTOCOL_T1) return std::string("\"T=1\"");
                            return std::string("null");
                          },
                          &protocol);
  if (answered) return protocol;
  *failed = daemonAnswers() ? busyFailure(reader) : failure(ErrorCode::NoService, "the smart-card service does not answer");
  return "null";
}

std::string cardTypeJson(const ReaderState& r) {
  if (r.atr.empty()) return "null";
  for (const char* list : kCardLists) {
    std::string name = cardinfo::cardType(r.atr.data(), r.atr.size(), list);
    if (!name.empty()) return adapterkit::jsonString(name);
  }
  return "null";
}

// The card status answer, or the failure answer when the card is busy or the daemon gone.
std::string cardStatusJson(const ReaderState& r) {
  bool present = r.present();
  std::string failed;
  std::string protocol = present ? protocolJson(r.name, &failed) : "null";
  if (!failed.empty()) return failed;
  return "{\"reader\":" + adapterkit::jsonString(r.name) + ",\"present\":" + (present ? "true" : "false") +
         ",\"atr\":" + atrJson(r) + ",\"protocol\":" + protocol + ",\"cardType\":" + cardTypeJson(r) + "}";
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  for (const std::string& n : names)
    if (n == name) return true;
  return false;
}

// The reader a call is about: the named one, else the first with a card, else the first.
// The failure answer when there is none, else empty.
std::string pickReader(const Context& context, const std::string& wanted, ReaderState* picked) {
  std::vector<std::string> names;
  LONG rv = listReaders(context, &names);
  if (rv != SCARD_S_SUCCESS) return pcscFailure(rv);
  if (!wanted.empty()) {
    if (!contains(names, wanted)) return failure(ErrorCode::NotFound, "no reader named " + wanted);
    names.assign(1, wanted);
  }
  if (names.empty()) return failure(ErrorCode::NoReader, "no smart-card reader is attached");
  std::vector<ReaderState> states;
  rv = readStates(context, names, &states);
  if (rv != SCARD_S_SUCCESS) return pcscFailure(rv);
  *picked = states[0];
  for (const ReaderState& s : states)
    if (s.present()) {
      *picked = s;
      break;
    }
  return "";
}

std::string listReadersCall() {
  Context context;
  if (!context.ok()) return pcscFailure(context.status);
  std::vector<std::string> names;
  LONG rv = listReaders(context, &names);
  if (rv != SCARD_S_SUCCESS) return pcscFailure(rv);
  std::vector<ReaderState> states;
  rv = readStates(context, names, &states);
  if (rv != SCARD_S_SUCCESS) return pcscFailure(rv);
  std::string out = "{\"readers\":[";
  for (size_t i = 0; i < states.size(); ++i) {
    const ReaderState& r = states[i];
    out += std::string(i ? "," : "") + "{\"name\":" + adapterkit::jsonString(r.name) +
           ",\"cardPresent\":" + (r.present() ? "true" : "false") + ",\"atr\":" + atrJson(r) +
           ",\"state\":" + stateList(r.state) + "}";
  }
  return out + "]}";
}

std::string cardStatusCall(const std::string& wanted) {
  Context context;
  if (!context.ok()) return pcscFailure(context.status);
  ReaderState reader;
  std::string failed = pickReader(context, wanted, &reader);
  if (!failed.empty()) return failed;
  return cardStatusJson(reader);
}

std::string cardDataCall(const std::string& wanted) {
  Context context;
  if (!context.ok()) return pcscFailure(context.status);
  ReaderState reader;
  std::string failed = pickReader(context, wanted, &reader);
  if (!failed.empty()) return failed;
  if (!reader.present()) return failure(ErrorCode::NoToken, "no card in " + reader.name);
  return "{\"reader\":" + adapterkit::jsonString(reader.name) + ",\"atr\":" + atrJson(reader) +
         ",\"cardType\":" + cardTypeJson(reader) +
         ",\"atrInfo\":" + cardinfo::atrFacts(reader.atr.data(), reader.atr.size()) + "}";
}

// Timeout: decimal seconds 0..120; missing or empty gives the default.
bool readTimeout(const HalvorantJsonMap* map, long* seconds) {
  const char* text = param(map, "Timeout");
  if (text == nullptr || *text == '\0') {
    *seconds = kDefaultWaitSeconds;
    return true;
  }
  long value = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9' || c - text >= 4) return false;
    value = value * 10 + (*c - '0');
  }
  if (value > kMaxWaitSeconds) return false;
  *seconds = value;
  return true;
}

// Waits until a card is present (wantCard) or no longer present in the reader the call is
// about, for at most the page's time-out. Without a Reader: any reader for a card (readers
// plugged in meanwhile count), the reader holding a card at the start for a removal.
std::string waitCall(std::string wanted, long seconds, bool wantCard) {
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
  // A daemon on its way down removes its readers and answers a new context or a pending
  // wait with odd codes (seen: a security violation) before its socket closes. Such an
  // outcome is looked at again a moment later, up to kSettleTries times in a row, so that
  // case reads as the service gone; one that persists is the answer.
  constexpr int kSettleTries = 3;
  int settling = 0;
  auto settle = [&settling] {
    if (++settling > kSettleTries) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
  };
  Context context;
  while (!context.ok()) {
    if (serviceGone(context.status) || !settle()) return pcscFailure(context.status);
    context.reopen();
  }
  settling = 0;
  bool seen = false;      // the reader we watch was attached at some point of this call
  bool usePnp = wanted.empty();
  int quickWakes = 0;
  for (;;) {
    std::vector<std::string> names;
    LONG rv = listReaders(context, &names);
    if (rv != SCARD_S_SUCCESS) {
      if (!serviceGone(rv) && settle()) continue;
      return pcscFailure(rv);
    }
    if (!wanted.empty()) {
      if (!contains(names, wanted)) {
        if (!seen) return failure(ErrorCode::NotFound, "no reader named " + wanted);
        if (settle()) continue;
        return failure(ErrorCode::NoReader, "the reader " + wanted + " was removed");
      }
      names.assign(1, wanted);
      seen = true;
    }
    std::vector<ReaderState> states;
    rv = readStates(context, names, &states);
    if (rv != SCARD_S_SUCCESS) {
      // A reader that left between the two calls: look again, within the time-out.
      if (serviceGone(rv) || Clock::now() >= deadline) return pcscFailure(rv);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }

    if (wantCard) {
      for (const ReaderState& s : states)
        if (s.present()) return cardStatusJson(s);
    } else if (wanted.empty()) {
      // A removal without Reader watches the reader holding a card now.
      const ReaderState* holding = nullptr;
      for (const ReaderState& s : states)
        if (s.present()) holding = &s;
      if (holding == nullptr) {
        if (states.empty()) return failure(ErrorCode::NoReader, "no smart-card reader is attached");
        return cardStatusJson(states[0]);
      }
      wanted = holding->name;
      seen = true;
      usePnp = false;
      continue;
    } else if (!states[0].present()) {
      return cardStatusJson(states[0]);
    }

    // Nothing yet: wait for any change of these readers (or of the reader list).
    Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
      return failure(ErrorCode::Timeout, wantCard ? "no card was inserted in time" : "the card was not removed in time");
    long leftMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1;
    std::vector<SCARD_READERSTATE> watch(states.size() + (usePnp ? 1 : 0));
    for (size_t i = 0; i < watch.size(); ++i) {
      memset(&watch[i], 0, sizeof watch[i]);
      if (i < states.size()) {
        watch[i].szReader = states[i].name.c_str();
        watch[i].dwCurrentState = states[i].state & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
      } else {
        watch[i].szReader = kPnpReader;
        watch[i].dwCurrentState = SCARD_STATE_UNAWARE;
      }
    }
    if (usePnp) {
      // First learn the notification reader's current count, so the wait below blocks.
      SCARD_READERSTATE& pnp = watch.back();
      SCardGetStatusChange(context.handle, 0, &pnp, 1);
      if ((pnp.dwEventState & SCARD_STATE_UNKNOWN) != 0) {
        usePnp = false;  // no notifications here: look at the reader list once a second
        watch.pop_back();
      } else {
        pnp.dwCurrentState = pnp.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
      }
    }
    if (!usePnp && wanted.empty() && leftMs > 1000) leftMs = 1000;
    if (watch.empty()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(leftMs));
      continue;
    }
    Clock::time_point before = Clock::now();
    rv = SCardGetStatusChange(context.handle, static_cast<DWORD>(leftMs), watch.data(), static_cast<DWORD>(watch.size()));
    if (serviceGone(rv)) return pcscFailure(rv);
    if (rv != SCARD_S_SUCCESS && rv != static_cast<LONG>(SCARD_E_TIMEOUT) &&
        rv != static_cast<LONG>(SCARD_E_UNKNOWN_READER) && rv != static_cast<LONG>(SCARD_E_READER_UNAVAILABLE)) {
      if (settle()) continue;
      return pcscFailure(rv);
    }
    settling = 0;
    // A stack that keeps reporting changes that are none must not spin the processor.
    if (Clock::now() - before < std::chrono::milliseconds(5)) {
      if (++quickWakes > 20) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } else {
      quickWakes = 0;
    }
  }
}

const char* reply(const std::string& json) { return adapterkit::answerWhole(json); }

const char* bounded(Clock::duration limit, std::function<std::string()> work) {
  if (g_daemonSilent.load() > 0)
    return reply(failure(ErrorCode::NoService, "the smart-card service has not answered an earlier call yet"));
  std::string result;
  if (runPcsc(limit, &g_daemonSilent, std::move(work), &result)) return reply(result);
  return reply(failure(ErrorCode::NoService, "the smart-card service does not answer"));
}

}  // namespace

namespace {

const char* call(const HalvorantJsonMap* map, const char* functionName) {
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) return answer("0");
  // Workers get copies of the parameters: one left behind must not read the service's map.
  if (sameName(functionName, "ListReaders")) return bounded(kStackGrace, [] { return listReadersCall(); });
  std::string reader = param(map, "Reader") != nullptr ? param(map, "Reader") : "";
  if (sameName(functionName, "GetCardStatus"))
    return bounded(kStackGrace, [reader] { return cardStatusCall(reader); });
  if (sameName(functionName, "GetCardData")) return bounded(kStackGrace, [reader] { return cardDataCall(reader); });
  bool card = sameName(functionName, "WaitForCard");
  if (card || sameName(functionName, "WaitForRemoval")) {
    long seconds = 0;
    if (!readTimeout(map, &seconds))
      return reply(failure(ErrorCode::BadInput, "Timeout must be whole seconds from 0 to " + std::to_string(kMaxWaitSeconds)));
    return bounded(std::chrono::seconds(seconds) + kStackGrace,
                   [reader, seconds, card] { return waitCall(reader, seconds, card); });
  }
  return reply(failure(ErrorCode::BadInput, std::string("unknown function ") + (functionName ? functionName : "")));
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  return adapterkit::guarded([map, functionName] { return call(map, functionName); });
}
