// Base64 (standard alphabet, '=' padding) and hexadecimal text.
#include "util/Tool.h"

#include <climits>
#include <cstring>

#include "diag/Console.h"

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, -1 outside the alphabet ('=' included).
int base64Value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

size_t base64Prefix(const char* text) {
  size_t n = 0;
  while (base64Value(static_cast<unsigned char>(text[n])) >= 0) ++n;
  return n;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

int Base64encode_len(int count) {
  if (count < 0) return 0;
  int64_t length = (static_cast<int64_t>(count) + 2) / 3 * 4 + 1;
  return length > INT_MAX ? 0 : static_cast<int>(length);
}

int Base64decode_len(const char* text) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("bufcoded");
    return 0;
  }
  int64_t length = (static_cast<int64_t>(base64Prefix(text)) + 3) / 4 * 3 + 1;
  return length > INT_MAX ? 0 : static_cast<int>(length);
}

size_t Base64EncodeInto(const unsigned char* bytes, size_t count, char* out) {
  char* w = out;
  size_t i = 0;
  for (; i + 2 < count; i += 3) {
    uint32_t v = (static_cast<uint32_t>(bytes[i]) << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    *w++ = kAlphabet[(v >> 18) & 63];
    *w++ = kAlphabet[(v >> 12) & 63];
    *w++ = kAlphabet[(v >> 6) & 63];
    *w++ = kAlphabet[v & 63];
  }
  if (i < count) {
    uint32_t v = static_cast<uint32_t>(bytes[i]) << 16;
    if (i + 1 < count) v |= bytes[i + 1] << 8;
    *w++ = kAlphabet[(v >> 18) & 63];
    *w++ = kAlphabet[(v >> 12) & 63];
    *w++ = i + 1 < count ? kAlphabet[(v >> 6) & 63] : '=';
    *w++ = '=';
  }
  return static_cast<size_t>(w - out);
}

char* Base64EncodeBytes(const unsigned char* bytes, size_t count) {
  if (bytes == nullptr) {
    HALVORANT_NULL_WARNING("input");
    return nullptr;
  }
  uint64_t size = (static_cast<uint64_t>(count) + 2) / 3 * 4 + 2;
  char* out = static_cast<char*>(newMemSize(size));
  if (out == nullptr) return nullptr;
  Base64EncodeInto(bytes, count, out);
  return out;
}

char* Base64Encode(const char* text) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("input");
    return nullptr;
  }
  return Base64EncodeBytes(reinterpret_cast<const unsigned char*>(text), strlen(text));
}

char* Base64Decode(const char* text) {
  if (text == nullptr) return nullptr;
  // Pages may send the body URL-escaped; only these three escapes are undone. Without
  // any '%' there is nothing to undo and the text is decoded where it is.
  char* escaped = nullptr;
  if (strchr(text, '%') != nullptr) {
    char* a = replace(text, "%2B", "+");
    char* b = replace(a, "%2F", "/");
    freeMem(a);
    escaped = replace(b, "%3D", "=");
    freeMem(b);
    if (escaped == nullptr) return nullptr;
  }
  const char* plain = escaped != nullptr ? escaped : text;

  size_t usable = base64Prefix(plain);
  uint64_t size = (static_cast<uint64_t>(usable) + 3) / 4 * 3 + 2;
  unsigned char* out = static_cast<unsigned char*>(newMemSize(size));
  if (out == nullptr) {
    freeMem(escaped);
    return nullptr;
  }
  unsigned char* w = out;
  const unsigned char* r = reinterpret_cast<const unsigned char*>(plain);
  size_t i = 0;
  for (; i + 3 < usable; i += 4) {
    uint32_t v = (base64Value(r[i]) << 18) | (base64Value(r[i + 1]) << 12) | (base64Value(r[i + 2]) << 6) |
                 base64Value(r[i + 3]);
    *w++ = static_cast<unsigned char>(v >> 16);
    *w++ = static_cast<unsigned char>(v >> 8);
    *w++ = static_cast<unsigned char>(v);
  }
  size_t left = usable - i;  // a single leftover character carries no whole byte
  if (left >= 2) {
    uint32_t v = (base64Value(r[i]) << 18) | (base64Value(r[i + 1]) << 12);
    if (left == 3) v |= base64Value(r[i + 2]) << 6;
    *w++ = static_cast<unsigned char>(v >> 16);
    if (left == 3) *w++ = static_cast<unsigned char>(v >> 8);
  }
  freeMem(escaped);
  return reinterpret_cast<char*>(out);
}

char* Base64DecodeFix(const char* text) {
  if (text == nullptr) {
    HALVORANT_NULL_WARNING("inputData");
    return nullptr;
  }
  // Each escape is reversed over the whole text before the next one, in this order.
  static const char* const kSteps[][2] = {
      {"\\r", "\r"},         {"\\n", "\n"},         {"\\t", "\t"},     {"\\u000f", "\x0f"},
      {"\\u000e", "\x0e"},   {"\\u001b", "\x1b"},   {"\\\"", "\""},
  };
  char* current = newMem(text);
  // Every escape begins with a backslash and no replacement holds one.
  if (strchr(text, '\\') == nullptr) return current;
  for (const auto& step : kSteps) {
    if (current == nullptr) return nullptr;
    char* next = replace(current, step[0], step[1]);
    freeMem(current);
    current = next;
  }
  return current;
}

char* HexEncode(const unsigned char* input, int count) {
  if (input == nullptr) {
    HALVORANT_NULL_WARNING("input");
    return nullptr;
  }
  if (count < 0) count = 0;
  static const char kDigits[] = "0123456789ABCDEF";
  char* out = static_cast<char*>(newMemSize(static_cast<uint64_t>(count) * 2 + 1));
  if (out == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) {
    out[2 * i] = kDigits[input[i] >> 4];
    out[2 * i + 1] = kDigits[input[i] & 15];
  }
  return out;
}

unsigned char* HexDecode(const char* input) {
  if (input == nullptr) {
    HALVORANT_NULL_WARNING("input");
    return nullptr;
  }
  size_t count = strlen(input) / 2;
  unsigned char* out = static_cast<unsigned char*>(newMemSize(static_cast<uint64_t>(count) + 1));
  if (out == nullptr) return nullptr;
  for (size_t i = 0; i < count; ++i)
    out[i] = static_cast<unsigned char>(hexValue(input[2 * i]) * 16 + hexValue(input[2 * i + 1]));
  return out;
}

size_t PemDecode(const char* pem, unsigned char* out, size_t capacity) {
  if (pem == nullptr || out == nullptr) return 0;
  const char* at = strstr(pem, "-----BEGIN ");
  if (at == nullptr || (at = strchr(at, '\n')) == nullptr) return 0;
  size_t size = 0;
  unsigned accumulated = 0;
  int bits = 0;
  for (++at; *at != '\0' && *at != '-' && *at != '='; ++at) {
    if (*at == '\n' || *at == '\r') continue;
    int value = base64Value(static_cast<unsigned char>(*at));
    if (value < 0 || (bits >= 2 && size == capacity)) return 0;
    accumulated = (accumulated << 6) | static_cast<unsigned>(value);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out[size++] = static_cast<unsigned char>(accumulated >> bits);
    }
  }
  return size;
}
