// Small JSON texts built and read by hand, without a parameter map.
#include "util/Tool.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#define JSMN_STATIC
#include <jsmn.h>

#include "diag/Console.h"

namespace {

// One tokenizer and one 64-token table for the whole process, so a text of more than 64
// tokens is not read; the mutex keeps overlapping callers from corrupting them.
constexpr unsigned kMaxTokens = 64;
jsmn_parser g_parser;
jsmntok_t g_tokens[kMaxTokens];
std::mutex g_parserLock;

char* tokenText(const char* json, const jsmntok_t& token) {
  if (token.start < 0 || token.end < token.start) return nullptr;
  if (token.end == token.start) return newMem("");
  return getRangeValue(json, token.start, token.end);
}

}  // namespace

char* addJSON(const char* json, const char* key, const char* value) {
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("key");
    return nullptr;
  }
  char* encoded = checkNoValue(value) ? newMem("") : Base64Encode(value);
  if (encoded == nullptr) return nullptr;
  size_t jsonLength = json != nullptr ? strlen(json) : 0;
  uint64_t size = jsonLength + strlen(key) + strlen(encoded) + 16;
  char* out = static_cast<char*>(newMemSize(size));
  if (out != nullptr) {
    if (jsonLength == 0)
      snprintf(out, size, "{\"%s\":\"%s\"", key, encoded);
    else if (encoded[0] == '\0')
      snprintf(out, size, "%s,\"%s\":\"\"", json, key);
    else
      snprintf(out, size, "%s,\"%s\":\"%s\"", json, key, encoded);
  }
  freeMem(encoded);
  return out;
}

char* addJSON(const char* json, const char* key, int32_t value) {
  char* text = newMem(value);
  if (text == nullptr) return nullptr;
  char* out = addJSON(json, key, text);
  freeMem(text);
  return out;
}

char* oneJSON(const char* value) { return addJSON(nullptr, "result", value); }

char* oneJSON(int32_t value) { return addJSON(nullptr, "result", value); }

void finalJSON(char** json) {
  if (json == nullptr || *json == nullptr) {
    HALVORANT_NULL_WARNING("json");
    return;
  }
  // A fresh buffer instead of writing past the text: the caller's buffer may be exact.
  size_t length = strlen(*json);
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(length) + 2));
  if (out == nullptr) return;
  memcpy(out, *json, length);
  out[length] = '}';
  freeMem(*json);
  *json = out;
}

char* getCustomJson(const char* functionName) {
  if (functionName == nullptr) {
    HALVORANT_NULL_WARNING("FuncName");
    return nullptr;
  }
  char buffer[512];
  snprintf(buffer, sizeof buffer, "{\"functionname\":\"%s\"}", functionName);
  return newMem(static_cast<const char*>(buffer));
}

char* getJsonCharValue(const char* json, const char* key) {
  if (json == nullptr) {
    HALVORANT_NULL_WARNING("inputJSONObj");
    return nullptr;
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return nullptr;
  }
  char* wanted = UpToLow(key);
  if (wanted == nullptr) return nullptr;

  std::lock_guard<std::mutex> guard(g_parserLock);
  jsmn_init(&g_parser);
  int count = jsmn_parse(&g_parser, json, strlen(json), g_tokens, kMaxTokens);
  char* value = nullptr;
  for (int i = 1; i < count; i += 2) {
    if (g_tokens[i].end <= g_tokens[i].start) continue;  // empty text
    char* name = tokenText(json, g_tokens[i]);
    char* lowered = UpToLow(name);
    bool match = lowered != nullptr && strcmp(lowered, wanted) == 0;
    freeMem(name);
    freeMem(lowered);
    if (!match) continue;
    // A key that is the last token has no value: treated as missing.
    if (i + 1 < count) {
      char* raw = tokenText(json, g_tokens[i + 1]);
      value = replace(raw, "\\\"", "\"");
      freeMem(raw);
    }
    break;
  }
  freeMem(wanted);
  return value;
}

bool getJsonBoolValue(const char* json, const char* key) {
  if (json == nullptr) {
    HALVORANT_NULL_WARNING("inputJSONObj");
    return false;
  }
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return false;
  }
  char* value = getJsonCharValue(json, key);
  char* lowered = value != nullptr ? UpToLow(value) : nullptr;
  bool flag = lowered != nullptr && strcmp(lowered, "true") == 0;
  freeMem(value);
  freeMem(lowered);
  return flag;
}

int64_t getJsonLongValue(const char* json, const char* key) {
  if (key == nullptr) {
    HALVORANT_NULL_WARNING("inputKey");
    return 0;
  }
  char* value = getJsonCharValue(json, key);
  if (value == nullptr) {
    HALVORANT_MEMORY_FAIL();  // the message this path has always given, also for a missing key
    return 0;
  }
  int64_t number = charToLong(value);
  freeMem(value);
  return number;
}
