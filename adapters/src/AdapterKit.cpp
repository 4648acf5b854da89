// Helpers shared by the shipped adapters.
#include "AdapterKit.h"

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace adapterkit {

namespace {

// Trivially destructible on purpose: a thread_local with a destructor would keep the
// library mapped after the service unloads it.
thread_local char t_answer[kAnswerSize];

// Long answers: one heap buffer per thread, listed here so that unloading the library
// frees them all (the list itself is an ordinary static, destroyed at unload).
struct LongBuffers {
  std::mutex lock;
  std::vector<char*> all;
  ~LongBuffers() {
    for (char* b : all) free(b);
  }
};
LongBuffers g_long;
thread_local char* t_long = nullptr;
thread_local size_t t_longSize = 0;

const char* const kCodeNames[] = {"NO_TOKEN",   "NOT_FOUND",   "PIN_INCORRECT", "PIN_LOCKED", "USER_CANCELLED",
                                  "CONSENT_DENIED", "BAD_INPUT", "TOKEN_ERROR",   "NO_SERVICE", "NO_READER",
                                  "TIMEOUT",    "BUSY",        "INTERNAL"};
static_assert(sizeof kCodeNames / sizeof kCodeNames[0] == static_cast<size_t>(ErrorCode::Internal) + 1,
              "one name per code");

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Length of the well-formed UTF-8 sequence at s (n bytes left), or 0.
size_t utf8Sequence(const unsigned char* s, size_t n) {
  unsigned char c = s[0];
  size_t len = (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
  if (len == 0 || len > n) return 0;
  for (size_t k = 1; k < len; ++k)
    if ((s[k] & 0xC0) != 0x80) return 0;
  if (len == 3 && ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0))) return 0;  // overlong, surrogate
  if (len == 4 && ((c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] >= 0x90))) return 0;  // overlong, > U+10FFFF
  return len;
}

void appendJson(std::string& out, const unsigned char* s, size_t n) {
  out += '"';
  for (size_t i = 0; i < n;) {
    unsigned char c = s[i];
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else if (size_t len = utf8Sequence(s + i, n - i)) {
      out.append(reinterpret_cast<const char*>(s + i), len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out += '"';
}

// ---- Bounded calls ------------------------------------------------------------------------

std::atomic<int> g_leftBehind{0};
// How long work has to end after its cancel before it is left behind.
constexpr std::chrono::seconds kCancelGrace{2};

struct BoundedJob {
  std::mutex lock;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  std::exception_ptr thrown;
  std::function<void()> work;
};

// Keeps this library mapped for the rest of the process: a thread left behind still runs
// its code. dlopen of itself with RTLD_NODELETE, never closed.
void pinThisLibrary() {
  static std::once_flag once;
  std::call_once(once, [] {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&pinThisLibrary), &info) != 0 && info.dli_fname != nullptr)
      dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  });
}

}  // namespace

bool sameName(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return false;
  for (; *a != '\0' && fold(*a) == fold(*b); ++a, ++b) {
  }
  return fold(*a) == fold(*b);
}

const char* param(const HalvorantJsonMap* map, const char* key) {
  if (map == nullptr || key == nullptr) return nullptr;
  int count = map->count < 0 ? 0 : map->count > HALVORANT_JSON_MAP_UNITS ? HALVORANT_JSON_MAP_UNITS : map->count;
  for (int i = 0; i < count; ++i)
    if (sameName(map->units[i].key, key)) return map->units[i].value;
  return nullptr;
}

const char* answer(const char* text) {
  snprintf(t_answer, sizeof t_answer, "%s", text != nullptr ? text : "");
  return t_answer;
}

const char* answerWhole(const std::string& text) {
  if (text.size() < kAnswerSize) return answer(text.c_str());
  if (t_longSize <= text.size()) {
    std::lock_guard<std::mutex> hold(g_long.lock);
    char* grown = static_cast<char*>(realloc(t_long, text.size() + 1));
    if (grown == nullptr) return internalError("out of memory");
    if (t_long == nullptr) {
      g_long.all.push_back(grown);
    } else {
      for (char*& b : g_long.all)
        if (b == t_long) b = grown;
    }
    t_long = grown;
    t_longSize = text.size() + 1;
  }
  memcpy(t_long, text.c_str(), text.size() + 1);
  return t_long;
}

const char* errorCodeName(ErrorCode code) {
  size_t i = static_cast<size_t>(code);
  return i < sizeof kCodeNames / sizeof kCodeNames[0] ? kCodeNames[i] : "INTERNAL";
}

void appendJsonString(std::string& out, const char* text) {
  if (text == nullptr) text = "";
  appendJson(out, reinterpret_cast<const unsigned char*>(text), strlen(text));
}

void appendJsonString(std::string& out, const std::string& text) {
  appendJson(out, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string jsonString(const std::string& text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

std::string hexText(const unsigned char* bytes, size_t length, bool upper) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string out;
  out.reserve(2 * length);
  for (size_t i = 0; i < length; ++i) {
    out += digits[bytes[i] >> 4];
    out += digits[bytes[i] & 15];
  }
  return out;
}

std::string errorJson(ErrorCode code, const char* message) {
  std::string out = "{\"error\":{\"code\":\"";
  out += errorCodeName(code);
  out += "\",\"message\":";
  appendJsonString(out, message);
  out += "}}";
  return out;
}

const char* error(ErrorCode code, const char* message) { return answerWhole(errorJson(code, message)); }

bool hexToBytes(const char* hex, unsigned char* out, size_t capacity, size_t* length) {
  if (hex == nullptr || out == nullptr || length == nullptr) return false;
  size_t digits = strlen(hex);
  if (digits % 2 != 0 || digits / 2 > capacity) return false;
  for (size_t i = 0; i < digits; i += 2) {
    int high = hexValue(hex[i]);
    int low = hexValue(hex[i + 1]);
    if (high < 0 || low < 0) return false;
    out[i / 2] = static_cast<unsigned char>(high * 16 + low);
  }
  *length = digits / 2;
  return true;
}

const char* internalError(const char* what) noexcept {
  // Written straight into the fixed buffer: the failure may be that memory ran out.
  static const char kHead[] = "{\"error\":{\"code\":\"INTERNAL\",\"message\":\"The adapter failed and did nothing";
  static const char kTail[] = ".\"}}";
  size_t at = 0;
  auto put = [&at](const char* text, size_t n) {
    for (size_t i = 0; i < n && at + 1 < kAnswerSize; ++i) t_answer[at++] = text[i];
  };
  put(kHead, sizeof kHead - 1);
  if (what != nullptr && what[0] != '\0') {
    put(" (", 2);
    // Printable ASCII only, without the characters JSON would need escaped.
    for (size_t i = 0; what[i] != '\0' && i < 200; ++i) {
      char c = what[i];
      if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') put(&c, 1);
    }
    put(")", 1);
  }
  put(kTail, sizeof kTail - 1);
  t_answer[at] = '\0';
  return t_answer;
}

const char* guarded(const std::function<const char*()>& work) noexcept {
  try {
    return work();
  } catch (const std::exception& e) {
    return internalError(e.what());
  } catch (...) {
    return internalError(nullptr);
  }
}

bool runBounded(std::chrono::milliseconds limit, std::function<void()> work, std::function<void()> cancel) {
  auto job = std::make_shared<BoundedJob>();
  job->work = std::move(work);
  std::thread worker([job] {
    std::exception_ptr thrown;
    try {
      job->work();
    } catch (...) {
      thrown = std::current_exception();
    }
    job->work = nullptr;  // what it captured goes on this thread, while the library is surely mapped
    std::lock_guard<std::mutex> hold(job->lock);
    job->thrown = thrown;
    job->done = true;
    if (job->abandoned) g_leftBehind.fetch_sub(1);
    job->finished.notify_all();
  });
  std::unique_lock<std::mutex> hold(job->lock);
  if (job->finished.wait_for(hold, limit, [&job] { return job->done; })) {
    std::exception_ptr thrown = job->thrown;
    hold.unlock();
    worker.join();
    if (thrown) std::rethrow_exception(thrown);
    return true;
  }
  if (cancel) {
    hold.unlock();
    cancel();
    hold.lock();
    if (job->finished.wait_for(hold, kCancelGrace, [&job] { return job->done; })) {
      hold.unlock();
      worker.join();
      return false;  // late, and ended by cancel: whatever it threw then does not matter
    }
  }
  job->abandoned = true;
  g_leftBehind.fetch_add(1);
  hold.unlock();
  pinThisLibrary();
  worker.detach();
  return false;
}

int threadsLeftBehind() { return g_leftBehind.load(); }

}  // namespace adapterkit
