// Helpers for the cipher engine tests: hex, and whole operations run through the engine
// with the input cut into pieces.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/CipherEngine.h"

using Bytes = std::vector<unsigned char>;

inline Bytes fromHex(const std::string& hex) {
  Bytes out;
  std::string digits;
  for (char ch : hex)
    if (ch != ' ') digits += ch;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

inline std::string toHex(const Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

inline Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct RunResult {
  SK_RV rv;       // first failing return value, or CKR_OK
  Bytes output;   // everything the Updates and the Final produced
};

// Piece lengths for `cuts` (ascending offsets into a text of `length` bytes).
inline std::vector<size_t> piecesFromCuts(size_t length, const std::vector<size_t>& cuts) {
  std::vector<size_t> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    pieces.push_back(cut - from);
    from = cut;
  }
  pieces.push_back(length - from);
  return pieces;
}

// Init, IV, one Update per piece (each after a length query), Final (after a length query).
inline RunResult runCipher(bool decrypt, uint64_t mechanism, const Bytes& key, const Bytes& iv,
                           const Bytes& data, const std::vector<size_t>& pieces) {
  SK_CONTEXT c;
  std::memset(&c, 0, sizeof c);
  RunResult r{decrypt ? SK_DecryptInit(&c, mechanism, key.data(), key.size())
                      : SK_EncryptInit(&c, mechanism, key.data(), key.size()),
              {}};
  if (r.rv != CKR_OK) return r;
  if (!iv.empty()) std::memcpy(c.IV, iv.data(), iv.size() < 16 ? iv.size() : 16);
  auto update = decrypt ? SK_DecryptUpdate : SK_EncryptUpdate;
  auto final = decrypt ? SK_DecryptFinal : SK_EncryptFinal;
  size_t at = 0;
  for (size_t piece : pieces) {
    uint64_t needed = 0;
    r.rv = update(&c, data.data() + at, piece, nullptr, &needed);
    if (r.rv != CKR_OK) return r;
    Bytes out(needed + 1);
    uint64_t length = needed;
    r.rv = update(&c, data.data() + at, piece, out.data(), &length);
    if (r.rv != CKR_OK) return r;
    if (length != needed) {
      r.rv = ~SK_RV{0};
      return r;
    }
    r.output.insert(r.output.end(), out.begin(), out.begin() + static_cast<long>(length));
    at += piece;
  }
  uint64_t needed = 0;
  r.rv = final(&c, nullptr, &needed);
  if (r.rv != CKR_OK) return r;
  Bytes out(needed + 1);
  uint64_t length = needed;
  r.rv = final(&c, out.data(), &length);
  if (r.rv != CKR_OK) return r;
  r.output.insert(r.output.end(), out.begin(), out.begin() + static_cast<long>(length));
  return r;
}

inline RunResult runMac(uint64_t mechanism, const Bytes& key, const Bytes& data,
                        const std::vector<size_t>& pieces) {
  SK_CONTEXT c;
  std::memset(&c, 0, sizeof c);
  RunResult r{SK_SignInit(&c, mechanism, key.data(), key.size()), {}};
  if (r.rv != CKR_OK) return r;
  size_t at = 0;
  for (size_t piece : pieces) {
    r.rv = SK_SignUpdate(&c, data.data() + at, piece);
    if (r.rv != CKR_OK) return r;
    at += piece;
  }
  uint64_t needed = 0;
  r.rv = SK_SignFinal(&c, nullptr, &needed);
  if (r.rv != CKR_OK) return r;
  r.output.resize(needed);
  r.rv = SK_SignFinal(&c, r.output.data(), &needed);
  return r;
}

inline std::vector<size_t> onePiece(size_t length) { return {length}; }
inline std::vector<size_t> bytewise(size_t length) { return std::vector<size_t>(length, 1); }
