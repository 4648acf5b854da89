// PKCS#11 through p11-kit for the PKI adapter.
#include "Tokens.h"

#include <dlfcn.h>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "diag/IniProfile.h"
#include "platform/Wipe.h"

namespace tokens {

using adapterkit::ErrorCode;

namespace {

constexpr CK_ULONG kFindBatch = 64;
constexpr size_t kMaxObjects = 4096;  // per class and token; a token with more is not a user's
constexpr size_t kMaxAttribute = 64 * 1024;

std::string configuredModule() {
  const char* chosen = getenv("NOX_PKCS11_MODULE");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  std::string dir;
  const char* config = getenv("XDG_CONFIG_HOME");
  const char* home = getenv("HOME");
  if (config != nullptr && config[0] == '/') dir = config;
  else if (home != nullptr && home[0] == '/') dir = std::string(home) + "/.config";
  else return "";
  std::string ini = dir + "/NoxHalvorant/NoxPkiCryptAdapter.ini";
  char value[512] = {0};
  if (GetIniProfileString("PKCS11", "Module", value, sizeof value, ini.c_str()) != 0) return "";
  return value;
}

// Test seam: $NOX_TEST_P11KIT_DIR holds a registry of its own (pkcs11.conf, modules/), used
// instead of the machine's, so a test meets only the modules it registered.
void useTestRegistry() {
  const char* dir = getenv("NOX_TEST_P11KIT_DIR");
  if (dir == nullptr || dir[0] != '/') return;
  using Override = void (*)(const char*, const char*, const char*, const char*, const char*);
  auto override = reinterpret_cast<Override>(dlsym(RTLD_DEFAULT, "p11_kit_override_system_files"));
  if (override == nullptr) return;
  std::string d = dir;
  static std::string conf, user, modules, none;  // p11-kit keeps the pointers
  conf = d + "/pkcs11.conf", user = d + "/user-pkcs11.conf", modules = d + "/modules", none = d + "/none";
  override(conf.c_str(), user.c_str(), modules.c_str(), none.c_str(), none.c_str());
}

// Test seam: $NOX_TEST_MODULE_LIMIT_MS shortens kModuleLimit.
std::chrono::milliseconds moduleLimit() {
  const char* text = getenv("NOX_TEST_MODULE_LIMIT_MS");
  long ms = text != nullptr ? strtol(text, nullptr, 10) : 0;
  if (ms > 0 && ms < std::chrono::milliseconds(kModuleLimit).count()) return std::chrono::milliseconds(ms);
  return kModuleLimit;
}

// ---- The session's module set ----------------------------------------------------------------

enum class State { NotStarted, Ready, Failed, Stuck };

struct SlotScan {
  CK_RV rv = CKR_OK;
  const char* during = "";
  std::vector<Token> tokens;
};

// A module's slot scans, each on a thread of its own that may outlast the call which started
// it. Some modules take seconds for every scan (one that tries each of its card drivers on a
// card none of them knows does so at every scan): such a module answers from its previous
// scan while the fresh one runs, and the next call sees the fresh one.
struct SlotWatch {
  std::mutex lock;
  std::condition_variable finished;
  bool running = false;
  bool stuck = false;  // the last scan did not come back within the module limit
  bool have = false;   // last holds a finished scan
  SlotScan last;
  std::thread runner;  // joined before the next scan starts, and at release

  SlotWatch() = default;
  SlotWatch(const SlotWatch&) = delete;
  SlotWatch& operator=(const SlotWatch&) = delete;
  // Only at exit without a release (a session the service gave up on): nothing is unloaded
  // then, so the scan may end on its own.
  ~SlotWatch() {
    if (runner.joinable()) runner.detach();
  }
};

struct Module {
  Module(CK_FUNCTION_LIST* f, std::string n, State s, Failure why = {ErrorCode::TokenError, ""})
      : functions(f), name(std::move(n)), state(s), failure(std::move(why)), watch(std::make_shared<SlotWatch>()) {}
  CK_FUNCTION_LIST* functions;
  std::string name;
  State state;
  Failure failure;  // why it is Failed or Stuck
  std::shared_ptr<SlotWatch> watch;
};

// How long a scan waits for the modules' fresh slot lists before it takes a slow module's
// previous one.
constexpr std::chrono::milliseconds kFreshScanWait{150};

std::mutex g_lock;  // calls of one session come in order; this guards against anything else
bool g_loaded = false;
std::vector<Module> g_modules;

std::string moduleName(CK_FUNCTION_LIST* m, const std::string& path) {
  if (!path.empty()) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  }
  char* name = p11_kit_module_get_name(m);
  std::string out = name != nullptr ? name : "unnamed module";
  free(name);
  return out;
}

std::string hexCode(CK_RV rv) {
  char code[32];
  snprintf(code, sizeof code, "0x%lx", static_cast<unsigned long>(rv));
  return code;
}

void markStuck(Module& m) {
  m.state = State::Stuck;
  m.failure = {ErrorCode::NoService, "The PKCS#11 module " + m.name + " does not answer; it is left alone until the page " +
                                         "opens a new session."};
}

// Runs work (which must own what it uses) against module m within the module limit. A module
// that does not answer is marked stuck and *why tells so, with its name.
bool bounded(Module& m, std::function<void()> work, Failure* why,
             std::chrono::milliseconds limit = std::chrono::milliseconds(0)) {
  if (adapterkit::runBounded(limit.count() > 0 ? limit : moduleLimit(), std::move(work))) return true;
  markStuck(m);
  *why = m.failure;
  return false;
}

// False when p11-kit could not read its registry at all.
bool loadModules() {
  useTestRegistry();
  std::string path = configuredModule();
  if (!path.empty()) {
    CK_FUNCTION_LIST* m = p11_kit_module_load(path.c_str(), 0);
    if (m == nullptr)
      g_modules.emplace_back(nullptr, path, State::Failed,
                             Failure{ErrorCode::TokenError, "The PKCS#11 module " + path + " could not be loaded."});
    else
      g_modules.emplace_back(m, moduleName(m, path), State::NotStarted);
    return true;
  }
  CK_FUNCTION_LIST** all = p11_kit_modules_load(nullptr, 0);
  if (all == nullptr) return false;
  for (CK_FUNCTION_LIST** m = all; m != nullptr && *m != nullptr; ++m) {
    // The system's trust store (CA certificates, no keys) is no token of the user's.
    char* trust = p11_kit_config_option(*m, "trust-policy");
    bool trustStore = trust != nullptr && strcmp(trust, "yes") == 0;
    free(trust);
    if (trustStore) p11_kit_module_release(*m);
    else g_modules.emplace_back(*m, moduleName(*m, ""), State::NotStarted);
  }
  free(all);  // the list only; its modules are released one by one
  return true;
}

// Initialises a module not started yet (or one that failed to start before: it may work now).
void start(Module& m) {
  if (m.functions == nullptr || (m.state != State::NotStarted && m.state != State::Failed)) return;
  auto rv = std::make_shared<CK_RV>(CKR_OK);
  CK_FUNCTION_LIST* f = m.functions;
  Failure ignored;
  if (!bounded(m, [rv, f] { *rv = p11_kit_module_initialize(f); }, &ignored)) return;
  if (*rv == CKR_OK || *rv == CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    m.state = State::Ready;
  } else {
    m.state = State::Failed;
    m.failure = {ErrorCode::TokenError, "The PKCS#11 module " + m.name + " failed to start (" + hexCode(*rv) + ")."};
  }
}

// The initialised tokens in the slots that have one now.
void scanSlots(CK_FUNCTION_LIST* m, SlotScan* out) {
  CK_ULONG count = 0;
  out->during = "listing its slots";
  out->rv = m->C_GetSlotList(CK_TRUE, nullptr, &count);
  std::vector<CK_SLOT_ID> slots;
  for (int attempt = 0; out->rv == CKR_OK && attempt < 3; ++attempt) {  // the list may grow between the calls
    slots.resize(count);
    if (count == 0) return;
    out->rv = m->C_GetSlotList(CK_TRUE, slots.data(), &count);
    if (out->rv == CKR_BUFFER_TOO_SMALL) out->rv = CKR_OK;
    else if (out->rv == CKR_OK) break;
  }
  if (out->rv != CKR_OK) return;
  slots.resize(count);
  out->during = "reading a token's information";
  for (CK_SLOT_ID slot : slots) {
    CK_TOKEN_INFO info;
    CK_RV rv = m->C_GetTokenInfo(slot, &info);
    // Taken out or not recognised between the two calls: not there.
    if (rv == CKR_TOKEN_NOT_PRESENT || rv == CKR_TOKEN_NOT_RECOGNIZED || rv == CKR_DEVICE_REMOVED ||
        rv == CKR_SLOT_ID_INVALID)
      continue;
    if (rv != CKR_OK) {
      out->rv = rv;
      return;
    }
    if ((info.flags & CKF_TOKEN_INITIALIZED) == 0) continue;
    out->tokens.push_back({0, slot, "", trimmed(info.label, sizeof info.label),
                           trimmed(info.serialNumber, sizeof info.serialNumber),
                           trimmed(info.manufacturerID, sizeof info.manufacturerID), trimmed(info.model, sizeof info.model),
                           info.flags});
  }
}

// Starts a fresh slot scan of a ready module unless one is running.
void startScan(Module& m) {
  std::shared_ptr<SlotWatch> watch = m.watch;
  {
    std::lock_guard<std::mutex> hold(watch->lock);
    if (watch->running) return;
    watch->running = true;
  }
  if (watch->runner.joinable()) watch->runner.join();  // it has finished: running was false
  CK_FUNCTION_LIST* f = m.functions;
  std::chrono::milliseconds limit = moduleLimit();
  try {
    watch->runner = std::thread([watch, f, limit] {
      auto found = std::make_shared<SlotScan>();
      bool done = false;
      try {
        done = adapterkit::runBounded(limit, [found, f] { scanSlots(f, found.get()); });
      } catch (...) {  // no thread for the scan, or no memory: a failed scan, not a stuck module
        found->rv = CKR_HOST_MEMORY;
        found->during = "scanning its slots";
        found->tokens.clear();
        done = true;
      }
      std::lock_guard<std::mutex> hold(watch->lock);
      if (done) {
        watch->last = std::move(*found);
        watch->have = true;
      } else {
        watch->stuck = true;
      }
      watch->running = false;
      watch->finished.notify_all();
    });
  } catch (...) {
    std::lock_guard<std::mutex> hold(watch->lock);
    watch->running = false;
    throw;
  }
}

// ---- Objects --------------------------------------------------------------------------------------

// Reads one attribute of any length (up to kMaxAttribute); false when absent.
bool attribute(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, CK_ATTRIBUTE_TYPE type,
               std::vector<unsigned char>* out) {
  CK_ATTRIBUTE a{type, nullptr, 0};
  if (m->C_GetAttributeValue(s, o, &a, 1) != CKR_OK || a.ulValueLen == CK_UNAVAILABLE_INFORMATION ||
      a.ulValueLen > kMaxAttribute)
    return false;
  out->assign(a.ulValueLen, 0);
  a.pValue = out->data();
  return m->C_GetAttributeValue(s, o, &a, 1) == CKR_OK;
}

// Object handles of a class (and id, when given) in an open session, all of them.
CK_RV find(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_CLASS cls, const std::vector<unsigned char>* id,
           std::vector<CK_OBJECT_HANDLE>* out) {
  out->clear();
  CK_ATTRIBUTE query[2] = {{CKA_CLASS, &cls, sizeof cls}, {CKA_ID, nullptr, 0}};
  CK_ULONG count = 1;
  if (id != nullptr) {
    query[1].pValue = const_cast<unsigned char*>(id->data());
    query[1].ulValueLen = id->size();
    count = 2;
  }
  CK_RV rv = m->C_FindObjectsInit(s, query, count);
  if (rv != CKR_OK) return rv;
  CK_OBJECT_HANDLE found[kFindBatch];
  for (;;) {
    CK_ULONG n = 0;
    rv = m->C_FindObjects(s, found, kFindBatch, &n);
    if (rv != CKR_OK || n == 0 || n > kFindBatch) break;
    out->insert(out->end(), found, found + n);
    if (out->size() >= kMaxObjects) break;
  }
  CK_RV final = m->C_FindObjectsFinal(s);
  return rv != CKR_OK ? rv : final;
}

// A session closed on every path.
class Session {
 public:
  Session(CK_FUNCTION_LIST* m, CK_SLOT_ID slot) : module_(m) {
    rv_ = module_->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_);
  }
  ~Session() {
    if (rv_ == CKR_OK) module_->C_CloseSession(handle_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  CK_RV rv() const { return rv_; }
  CK_SESSION_HANDLE handle() const { return handle_; }

 private:
  CK_FUNCTION_LIST* module_;
  CK_SESSION_HANDLE handle_ = 0;
  CK_RV rv_;
};

// A certificate's public key as tokens store it: the RSA modulus, or the EC point.
struct PublicKey {
  std::vector<unsigned char> modulus;
  std::vector<unsigned char> point;  // 04 || x || y
};

std::vector<unsigned char> withoutLeadingZeros(const unsigned char* data, size_t size) {
  while (size > 1 && data[0] == 0) ++data, --size;
  return std::vector<unsigned char>(data, data + size);
}

PublicKey publicKeyOf(const std::vector<unsigned char>& der) {
  PublicKey out;
  gnutls_x509_crt_t crt;
  if (gnutls_x509_crt_init(&crt) < 0) return out;
  gnutls_datum_t in{const_cast<unsigned char*>(der.data()), static_cast<unsigned>(der.size())};
  if (gnutls_x509_crt_import(crt, &in, GNUTLS_X509_FMT_DER) >= 0) {
    gnutls_datum_t a{nullptr, 0}, b{nullptr, 0};
    gnutls_ecc_curve_t curve;
    if (gnutls_x509_crt_get_pk_rsa_raw(crt, &a, &b) >= 0) {
      out.modulus = withoutLeadingZeros(a.data, a.size);
    } else if (gnutls_x509_crt_get_pk_ecc_raw(crt, &curve, &a, &b) >= 0) {
      size_t size = (gnutls_ecc_curve_get_size(curve));
      std::vector<unsigned char> x = withoutLeadingZeros(a.data, a.size), y = withoutLeadingZeros(b.data, b.size);
      if (size >= x.size() && size >= y.size()) {
        out.point.assign(1 + 2 * size, 0);
        out.point[0] = 0x04;
        memcpy(out.point.data() + 1 + size - x.size(), x.data(), x.size());
        memcpy(out.point.data() + 1 + 2 * size - y.size(), y.data(), y.size());
      }
    }
    gnutls_free(a.data);
    gnutls_free(b.data);
  }
  gnutls_x509_crt_deinit(crt);
  return out;
}

// Whether key object o (public or private) holds this public key. CKA_EC_POINT is a DER
// OCTET STRING by the standard; some modules give the bare point.
bool holds(CK_FUNCTION_LIST* m, CK_SESSION_HANDLE s, CK_OBJECT_HANDLE o, const PublicKey& key) {
  std::vector<unsigned char> value;
  if (!key.modulus.empty())
    return attribute(m, s, o, CKA_MODULUS, &value) && !value.empty() &&
           withoutLeadingZeros(value.data(), value.size()) == key.modulus;
  if (key.point.empty() || !attribute(m, s, o, CKA_EC_POINT, &value)) return false;
  if (value == key.point) return true;
  size_t n = key.point.size();
  size_t head = n < 0x80 ? 2 : 3;
  return value.size() == n + head && value[0] == 0x04 &&
         std::equal(key.point.begin(), key.point.end(), value.begin() + static_cast<long>(head));
}

std::string pinTriesNote(CK_FLAGS flags) {
  if ((flags & CKF_USER_PIN_LOCKED) != 0) return " The PIN is now locked.";
  if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) return " One try is left before the PIN is locked.";
  if ((flags & CKF_USER_PIN_COUNT_LOW) != 0) return " Few tries are left before the PIN is locked.";
  return "";
}

// The failure for a PKCS#11 return value (what the token said, for a person).
Failure failureOf(CK_RV rv, const std::string& during) {
  switch (rv) {
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_DEVICE_REMOVED:
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_SESSION_HANDLE_INVALID:
    case CKR_SESSION_CLOSED:
      return {ErrorCode::NoToken, "The token was removed."};
    case CKR_PIN_INCORRECT:
    case CKR_PIN_LEN_RANGE:
    case CKR_PIN_INVALID:
      return {ErrorCode::PinIncorrect, "The PIN is wrong."};
    case CKR_PIN_LOCKED:
      return {ErrorCode::PinLocked, "The PIN is locked."};
    case CKR_FUNCTION_CANCELED:
      return {ErrorCode::UserCancelled, "The PIN entry was cancelled."};
    case CKR_USER_PIN_NOT_INITIALIZED:
      return {ErrorCode::PinLocked, "The token has no user PIN yet."};
    default:
      return {ErrorCode::TokenError, "The token failed while " + during + " (" + hexCode(rv) + ")."};
  }
}

Module* moduleOf(const Token& t) { return t.module < g_modules.size() ? &g_modules[t.module] : nullptr; }

// The module of token t when it may still be called; else *why.
Module* usable(const Token& t, Failure* why) {
  Module* m = moduleOf(t);
  if (m == nullptr || m->state != State::Ready) {
    *why = m != nullptr && m->state == State::Stuck ? m->failure : Failure{ErrorCode::NoToken, "The token was removed."};
    return nullptr;
  }
  return m;
}

}  // namespace

std::string trimmed(const unsigned char* text, size_t size) {
  size_t n = size;
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  return std::string(reinterpret_cast<const char*>(text), n);
}

bool scan(Scan* out, Failure* why) {
  std::lock_guard<std::mutex> hold(g_lock);
  if (!g_loaded && !(g_loaded = loadModules())) {
    *why = {ErrorCode::TokenError, "The PKCS#11 modules could not be loaded."};
    return false;
  }
  // Every module scans at the same time; a slow one does not hold up the others.
  for (Module& m : g_modules) {
    start(m);
    if (m.state == State::Ready) startScan(m);
  }
  const auto fresh = std::chrono::steady_clock::now() + kFreshScanWait;
  for (size_t i = 0; i < g_modules.size(); ++i) {
    Module& m = g_modules[i];
    if (m.state != State::Ready) {
      out->unavailable.push_back(m.failure);
      continue;
    }
    SlotWatch& w = *m.watch;
    std::unique_lock<std::mutex> hold(w.lock);
    w.finished.wait_until(hold, fresh, [&w] { return !w.running; });
    // Nothing to answer from yet: this scan is awaited (it ends within the module limit).
    if (!w.have) w.finished.wait(hold, [&w] { return !w.running; });
    if (!w.running && w.stuck) {
      markStuck(m);
      out->unavailable.push_back(m.failure);
      continue;
    }
    const SlotScan& found = w.last;
    if (found.rv != CKR_OK) {
      out->unavailable.push_back({ErrorCode::TokenError, "The PKCS#11 module " + m.name + " failed while " +
                                                             found.during + " (" + hexCode(found.rv) + ")."});
      continue;
    }
    for (Token t : found.tokens) {
      t.module = i;
      t.moduleName = m.name;
      t.earlier = w.running;  // the fresh scan is still running: this is the one before it
      out->tokens.push_back(std::move(t));
    }
  }
  return true;
}

bool present(Token* t) {
  std::lock_guard<std::mutex> hold(g_lock);
  Failure ignored;
  Module* m = usable(*t, &ignored);
  if (m == nullptr) return false;
  struct Info {
    CK_RV rv = CKR_OK;
    CK_TOKEN_INFO info;
  };
  auto read = std::make_shared<Info>();
  CK_FUNCTION_LIST* f = m->functions;
  CK_SLOT_ID slot = t->slot;
  if (!bounded(*m, [read, f, slot] { read->rv = f->C_GetTokenInfo(slot, &read->info); }, &ignored)) return false;
  const CK_TOKEN_INFO& info = read->info;
  if (read->rv != CKR_OK || trimmed(info.label, sizeof info.label) != t->label ||
      trimmed(info.serialNumber, sizeof info.serialNumber) != t->serial)
    return false;
  t->flags = info.flags;
  return true;
}

void release() {
  std::lock_guard<std::mutex> hold(g_lock);
  for (Module& m : g_modules) {
    // A scan still running ends within the module limit; its thread must not outlive the library.
    if (m.watch->runner.joinable()) m.watch->runner.join();
    if (m.watch->stuck) markStuck(m);
    if (m.functions == nullptr || m.state == State::Stuck) continue;  // a thread may still be inside
    CK_FUNCTION_LIST* f = m.functions;
    bool ready = m.state == State::Ready;
    Failure ignored;
    if (bounded(m, [f, ready] {
                  if (ready) p11_kit_module_finalize(f);
                  p11_kit_module_release(f);
                },
                &ignored))
      m.functions = nullptr;
  }
  g_modules.clear();
  g_loaded = false;
}

bool certificates(const std::vector<Token>& list, size_t token, std::vector<Certificate>* out, Failure* why) {
  std::lock_guard<std::mutex> hold(g_lock);
  const Token& t = list[token];
  Module* m = usable(t, why);
  if (m == nullptr) return false;
  struct Listing {
    CK_RV rv = CKR_OK;
    const char* during = "opening a session";
    std::vector<Certificate> found;
  };
  auto listing = std::make_shared<Listing>();
  CK_FUNCTION_LIST* f = m->functions;
  CK_SLOT_ID slot = t.slot;
  bool done = bounded(*m, [listing, f, slot, token] {
    Session session(f, slot);
    if ((listing->rv = session.rv()) != CKR_OK) return;
    std::vector<CK_OBJECT_HANDLE> certs, privates, publics;
    listing->during = "listing objects";
    listing->rv = find(f, session.handle(), CKO_CERTIFICATE, nullptr, &certs);
    if (listing->rv == CKR_OK) listing->rv = find(f, session.handle(), CKO_PRIVATE_KEY, nullptr, &privates);
    if (listing->rv == CKR_OK) listing->rv = find(f, session.handle(), CKO_PUBLIC_KEY, nullptr, &publics);
    if (listing->rv != CKR_OK) return;
    std::vector<std::vector<unsigned char>> keyIds;
    for (const auto* handles : {&privates, &publics})
      for (CK_OBJECT_HANDLE h : *handles) {
        std::vector<unsigned char> id;
        if (attribute(f, session.handle(), h, CKA_ID, &id) && !id.empty()) keyIds.push_back(id);
      }
    // A token that shows no key before login keeps them private to the login: each of its
    // certificates may have one, found at Sign.
    bool keysHidden = privates.empty() && publics.empty();
    for (CK_OBJECT_HANDLE h : certs) {
      CK_CERTIFICATE_TYPE type = 0;
      CK_ATTRIBUTE a{CKA_CERTIFICATE_TYPE, &type, sizeof type};
      if (f->C_GetAttributeValue(session.handle(), h, &a, 1) != CKR_OK || type != CKC_X_509) continue;
      Certificate c{token, {}, {}, keysHidden ? KeySeen::AfterLogin : KeySeen::No};
      if (!attribute(f, session.handle(), h, CKA_VALUE, &c.der) || c.der.empty()) continue;
      attribute(f, session.handle(), h, CKA_ID, &c.id);
      for (const auto& id : keyIds)
        if (!c.id.empty() && id == c.id) c.key = KeySeen::Yes;
      if (c.key == KeySeen::No) {  // a key pair under another id, matched by its public key
        PublicKey key = publicKeyOf(c.der);
        for (const auto* handles : {&publics, &privates})
          for (CK_OBJECT_HANDLE k : *handles)
            if (c.key == KeySeen::No && holds(f, session.handle(), k, key)) c.key = KeySeen::Yes;
      }
      listing->found.push_back(std::move(c));
    }
  }, why);
  if (!done) return false;
  if (listing->rv != CKR_OK) {
    *why = failureOf(listing->rv, listing->during);
    return false;
  }
  out->insert(out->end(), listing->found.begin(), listing->found.end());
  return true;
}

namespace {

// What a signing step owns: copies of the request, and the PIN, wiped when it goes.
struct Signing {
  CK_FUNCTION_LIST* module;
  CK_SLOT_ID slot;
  std::vector<unsigned char> id;
  PublicKey key;
  Mechanism mechanism;
  CK_MECHANISM_TYPE hash;
  std::vector<std::vector<unsigned char>> inputs;
  std::string pin;
  bool login;
  bool hasPin;
  // Results.
  CK_RV rv = CKR_OK;
  std::string during = "opening a session";
  bool keyFound = false;
  CK_FLAGS flagsAfterFailedLogin = 0;
  std::vector<std::vector<unsigned char>> signatures;
  ~Signing() { wipeMemory(&pin[0], pin.size()); }
};

// The certificate's private key, after login: by CKA_ID, else the one that holds its
// public key (RSA modulus on the key, or a public key object of the pair).
CK_RV findPrivateKey(Signing& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* key) {
  std::vector<CK_OBJECT_HANDLE> keys;
  CK_RV rv = CKR_OK;
  if (!s.id.empty()) {
    rv = find(s.module, session, CKO_PRIVATE_KEY, &s.id, &keys);
    if (rv != CKR_OK) return rv;
  }
  if (keys.empty()) {
    std::vector<CK_OBJECT_HANDLE> all;
    rv = find(s.module, session, CKO_PRIVATE_KEY, nullptr, &all);
    for (CK_OBJECT_HANDLE k : all)
      if (keys.empty() && holds(s.module, session, k, s.key)) keys.push_back(k);
    std::vector<CK_OBJECT_HANDLE> publics;
    if (rv == CKR_OK && keys.empty()) rv = find(s.module, session, CKO_PUBLIC_KEY, nullptr, &publics);
    for (CK_OBJECT_HANDLE p : publics) {
      std::vector<unsigned char> id;
      if (!keys.empty() || !holds(s.module, session, p, s.key) || !attribute(s.module, session, p, CKA_ID, &id) ||
          id.empty())
        continue;
      rv = find(s.module, session, CKO_PRIVATE_KEY, &id, &keys);
    }
    if (rv != CKR_OK) return rv;
  }
  s.keyFound = !keys.empty();
  if (s.keyFound) *key = keys[0];
  return CKR_OK;
}

// One signature by mechanism; the one place that knows the mechanisms' parameters.
CK_RV signOne(Signing& s, CK_SESSION_HANDLE session, CK_OBJECT_HANDLE key, std::vector<unsigned char> data,
              std::vector<unsigned char>* signature) {
  CK_RSA_PKCS_PSS_PARAMS pss{s.hash, 0, data.size()};
  pss.mgf = s.hash == CKM_SHA512 ? CKG_MGF1_SHA512 : s.hash == CKM_SHA384 ? CKG_MGF1_SHA384 : CKG_MGF1_SHA256;
  CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
  if (s.mechanism == Mechanism::RsaPss) mechanism = {CKM_RSA_PKCS_PSS, &pss, sizeof pss};
  if (s.mechanism == Mechanism::Ecdsa) mechanism = {CKM_ECDSA, nullptr, 0};
  CK_RV rv = s.module->C_SignInit(session, &mechanism, key);
  CK_ULONG size = 0;
  if (rv == CKR_OK) rv = s.module->C_Sign(session, data.data(), data.size(), nullptr, &size);
  if (rv == CKR_OK && (size == 0 || size > 1024)) rv = CKR_GENERAL_ERROR;
  if (rv != CKR_OK) return rv;
  signature->assign(size, 0);
  rv = s.module->C_Sign(session, data.data(), data.size(), signature->data(), &size);
  signature->resize(size);
  return rv;
}

void signAll(Signing& s) {
  Session session(s.module, s.slot);
  if ((s.rv = session.rv()) != CKR_OK) return;
  if (s.login) {
    s.during = "logging in";
    s.rv = s.module->C_Login(session.handle(), CKU_USER,
                             s.hasPin ? reinterpret_cast<CK_UTF8CHAR*>(&s.pin[0]) : nullptr,
                             s.hasPin ? s.pin.size() : 0);
    wipeMemory(&s.pin[0], s.pin.size());
    if (s.rv == CKR_USER_ALREADY_LOGGED_IN) s.rv = CKR_OK;
    if (s.rv != CKR_OK) {
      CK_TOKEN_INFO info;
      if (s.module->C_GetTokenInfo(s.slot, &info) == CKR_OK) s.flagsAfterFailedLogin = info.flags;
      return;
    }
  }
  s.during = "looking for the key";
  CK_OBJECT_HANDLE key = 0;
  s.rv = findPrivateKey(s, session.handle(), &key);
  if (s.rv == CKR_OK && s.keyFound) {
    s.during = "signing";
    for (const auto& input : s.inputs) {
      std::vector<unsigned char> signature;
      if ((s.rv = signOne(s, session.handle(), key, input, &signature)) != CKR_OK) break;
      s.signatures.push_back(std::move(signature));
    }
  }
  if (s.login) s.module->C_Logout(session.handle());
}

}  // namespace

std::chrono::milliseconds signingLimit(size_t count) {
  long more = count > 1 ? static_cast<long>(count - 1) : 0;
  return moduleLimit() + more * std::chrono::milliseconds(kPerSignature);
}

bool sign(const SignRequest& request, std::vector<std::vector<unsigned char>>* signatures, Failure* why) {
  std::lock_guard<std::mutex> hold(g_lock);
  Module* m = usable(*request.token, why);
  if (m == nullptr) return false;
  auto s = std::make_shared<Signing>();
  s->module = m->functions;
  s->slot = request.token->slot;
  s->id = request.certificate->id;
  s->key = publicKeyOf(request.certificate->der);
  s->mechanism = request.mechanism;
  s->hash = request.hash;
  s->inputs = request.inputs;
  s->login = request.login;
  s->hasPin = request.pin != nullptr;
  if (s->hasPin) s->pin = request.pin;
  if (!bounded(*m, [s] { signAll(*s); }, why, signingLimit(s->inputs.size()))) return false;
  if (s->rv == CKR_OK && !s->keyFound) {
    *why = {ErrorCode::NotFound, "The token holds no private key for this certificate."};
    return false;
  }
  if (s->rv == CKR_MECHANISM_INVALID || s->rv == CKR_KEY_TYPE_INCONSISTENT || s->rv == CKR_KEY_FUNCTION_NOT_PERMITTED) {
    *why = {ErrorCode::BadInput, "The key cannot make this kind of signature."};
    return false;
  }
  if (s->rv != CKR_OK) {
    *why = failureOf(s->rv, s->during);
    if (why->code == ErrorCode::PinIncorrect) {
      if ((s->flagsAfterFailedLogin & CKF_USER_PIN_LOCKED) != 0) why->code = ErrorCode::PinLocked;
      why->message += pinTriesNote(s->flagsAfterFailedLogin);
    }
    return false;
  }
  *signatures = std::move(s->signatures);
  return true;
}

}  // namespace tokens
