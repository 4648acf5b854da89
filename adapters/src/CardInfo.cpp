// ATR texts, card names and the public facts of an ATR.
#include "CardInfo.h"

#include "AdapterKit.h"

#include <cstdio>
#include <cstring>
#include <fstream>

namespace cardinfo {

namespace {

// Cards we name without a card-list file. Patterns as in the list file.
struct KnownCard {
  const char* pattern;
  const char* name;
};
constexpr KnownCard kKnownCards[] = {
    {"3B 95 13 81 01 80 73 FF 01 00 0B", "Virtual smart card (ISO 7816 emulation)"},
    {"3B 8F 80 01 80 4F 0C A0 00 00 03 06 .. .. .. 00 00 00 00 ..", "Contactless storage card (PC/SC part 3)"},
};

// A list file larger than this is not a card list; stop reading there.
constexpr size_t kMaxListBytes = 8u << 20;

// "3B 95 13": the form the patterns are written against.
std::string spacedUpper(const unsigned char* atr, size_t length) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < length; ++i) {
    snprintf(byte, sizeof byte, i == 0 ? "%02X" : " %02X", atr[i]);
    out += byte;
  }
  return out;
}

char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Whole-text match of the small pattern language: '.', "[...]" (ranges allowed), literals.
// false for any other expression syntax, so such a pattern never matches.
bool matches(const std::string& pattern, const std::string& text) {
  size_t p = 0, t = 0;
  while (p < pattern.size()) {
    char c = pattern[p];
    if (c == '\\' || c == '*' || c == '+' || c == '?' || c == '(' || c == ')' || c == '|' || c == '{' || c == '^' ||
        c == '$')
      return false;
    if (t >= text.size()) return false;
    char have = text[t];
    if (c == '.') {
      ++p;
    } else if (c == '[') {
      size_t close = pattern.find(']', p + 1);
      if (close == std::string::npos || close == p + 1) return false;
      bool found = false;
      for (size_t i = p + 1; i < close; ++i) {
        if (i + 2 < close && pattern[i + 1] == '-') {
          if (upper(pattern[i]) <= have && have <= upper(pattern[i + 2])) found = true;
          i += 2;
        } else if (upper(pattern[i]) == have) {
          found = true;
        }
      }
      if (!found) return false;
      p = close + 1;
    } else {
      if (upper(c) != have) return false;
      ++p;
    }
    ++t;
  }
  return t == text.size();
}

std::string trimmed(const std::string& line) {
  size_t start = line.find_first_not_of(" \t\r");
  if (start == std::string::npos) return "";
  size_t end = line.find_last_not_of(" \t\r");
  return line.substr(start, end - start + 1);
}

const char* objectName(unsigned tag) {
  switch (tag) {
    case 0x1: return "country code";
    case 0x2: return "issuer identification number";
    case 0x3: return "card service data";
    case 0x4: return "initial access data";
    case 0x5: return "card issuer's data";
    case 0x6: return "pre-issuing data";
    case 0x7: return "card capabilities";
    case 0x8: return "status indicator";
    case 0xF: return "application identifier";
    default: return "other";
  }
}

}  // namespace


std::string lookUpList(const unsigned char* atr, size_t length, const char* listPath) {
  if (listPath == nullptr || atr == nullptr || length == 0) return "";
  std::ifstream in(listPath, std::ios::binary);
  if (!in) return "";
  std::string text = spacedUpper(atr, length);
  std::string line;
  size_t read = 0;
  bool matched = false;
  while (std::getline(in, line)) {
    read += line.size() + 1;
    if (read > kMaxListBytes) break;
    if (matched) {
      if (!line.empty() && line[0] == '\t') {
        std::string name = trimmed(line);
        if (!name.empty()) return name;
        continue;
      }
      matched = false;  // a pattern without description: keep looking
    }
    if (line.empty() || line[0] == '#' || line[0] == '\t' || line[0] == ' ') continue;
    matched = matches(trimmed(line), text);
  }
  return "";
}

std::string cardType(const unsigned char* atr, size_t length, const char* listPath) {
  if (atr == nullptr || length == 0) return "";
  std::string text = spacedUpper(atr, length);
  for (const KnownCard& card : kKnownCards)
    if (matches(card.pattern, text)) return card.name;
  return lookUpList(atr, length, listPath);
}

std::string atrFacts(const unsigned char* atr, size_t length) {
  std::string protocols;
  bool valid = length >= 2 && (atr[0] == 0x3B || atr[0] == 0x3F);
  const char* convention = length == 0 ? "unknown" : atr[0] == 0x3B ? "direct" : atr[0] == 0x3F ? "inverse" : "unknown";
  size_t at = 1;
  unsigned historical = 0;
  bool needsCheck = false;
  if (length >= 2) {
    historical = atr[1] & 15;
    unsigned y = atr[1] >> 4;
    at = 2;
    bool anyProtocol = false;
    // Each round: TA, TB, TC as flagged, then TD, which names a protocol and flags the next round.
    while (y != 0) {
      unsigned flagged = ((y & 1) != 0) + ((y & 2) != 0) + ((y & 4) != 0) + ((y & 8) != 0);
      if (at + flagged > length) {
        valid = false;
        at = length;
        break;
      }
      at += flagged - ((y & 8) != 0);
      if ((y & 8) == 0) break;
      unsigned t = atr[at] & 15;
      if (t != 15) {
        std::string name = "\"T=" + std::to_string(t) + "\"";
        if (protocols.find(name) == std::string::npos) protocols += (protocols.empty() ? "" : ",") + name;
        anyProtocol = true;
        if (t != 0) needsCheck = true;
      }
      y = atr[at] >> 4;
      ++at;
    }
    if (!anyProtocol) protocols = "\"T=0\"";
  }
  size_t histStart = at < length ? at : length;
  size_t histEnd = histStart + historical;
  if (histEnd > length) {
    valid = false;
    histEnd = length;
  }
  size_t expected = histStart + historical + (needsCheck ? 1 : 0);
  if (expected != length) valid = false;
  if (needsCheck && valid) {
    unsigned char check = 0;
    for (size_t i = 1; i < length; ++i) check ^= atr[i];
    if (check != 0) valid = false;
  }

  std::string out = std::string("{\"valid\":") + (valid ? "true" : "false") + ",\"convention\":\"" + convention +
                    "\",\"protocols\":[" + protocols + "],\"historicalBytes\":\"" +
                    adapterkit::hexText(atr + histStart, histEnd - histStart) + "\"";
  if (histEnd > histStart) {
    unsigned category = atr[histStart];
    char hex[3];
    snprintf(hex, sizeof hex, "%02x", category);
    out += std::string(",\"categoryIndicator\":\"") + hex + "\"";
    // Categories 00 and 80 carry compact-TLV objects (00: the last three bytes are status).
    if (category == 0x00 || category == 0x80) {
      size_t end = category == 0x00 && histEnd - histStart >= 4 ? histEnd - 3 : histEnd;
      out += ",\"objects\":[";
      bool first = true;
      for (size_t i = histStart + 1; i < end;) {
        unsigned tag = atr[i] >> 4, len = atr[i] & 15;
        if (i + 1 + len > end) break;
        char tagText[2] = {"0123456789abcdef"[tag], 0};
        out += std::string(first ? "" : ",") + "{\"tag\":\"" + tagText + "\",\"name\":\"" + objectName(tag) +
               "\",\"data\":\"" + adapterkit::hexText(atr + i + 1, len) + "\"}";
        first = false;
        i += 1 + len;
      }
      out += "]";
    }
  }
  return out + "}";
}

}  // namespace cardinfo
