// Helpers shared by the shipped adapters.
#include "AdapterKit.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
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

const char* const kCodeNames[] = {"NO_TOKEN",       "NOT_FOUND",      "PIN_INCORRECT", "PIN_LOCKED",
                                  "USER_CANCELLED", "CONSENT_DENIED", "BAD_INPUT",     "TOKEN_ERROR"};

char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = fold(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
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
    if (grown == nullptr) return error(ErrorCode::TokenError, "out of memory");
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
  return i < sizeof kCodeNames / sizeof kCodeNames[0] ? kCodeNames[i] : "TOKEN_ERROR";
}

void appendJsonString(std::string& out, const char* text) {
  out += '"';
  for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += '"';
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

const char* error(const char* reason) {
  snprintf(t_answer, sizeof t_answer, "error: %s", reason != nullptr ? reason : "");
  return t_answer;
}

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

}  // namespace adapterkit
