// Helpers shared by the shipped adapters.
#include "AdapterKit.h"

#include <cstdio>
#include <cstring>

namespace adapterkit {

namespace {

// Trivially destructible on purpose: a thread_local with a destructor would keep the
// library mapped after the service unloads it.
thread_local char t_answer[kAnswerSize];

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
