// What the e-ID adapter says about a card without talking to it: ATR texts, the card's
// name from a built-in table or a card-list file, the public facts its ATR announces,
// as JSON texts for the answers. No PC/SC here, so all of it is testable alone.
#pragma once
#include <cstddef>
#include <string>

namespace cardinfo {

// The card's name: the built-in table first, then the card-list file at listPath (null or
// unreadable: skipped). Empty when neither knows the ATR.
std::string cardType(const unsigned char* atr, size_t length, const char* listPath);

// First description in a card-list file whose ATR pattern matches. The file holds pattern
// lines ("3B 95 13 .. 01") each followed by tab-indented description lines; '.' matches
// one hex digit and "[...]" one digit of a set. Patterns with other expression syntax are
// skipped. Empty when nothing matches or the file cannot be read.
std::string lookUpList(const unsigned char* atr, size_t length, const char* listPath);

// The public facts an ATR announces (ISO/IEC 7816-3 and -4), as a JSON object text:
// {"valid":true,"convention":"direct","protocols":["T=1"],"historicalBytes":"<hex>",
//  "categoryIndicator":"80","objects":[{"tag":"7","name":"card capabilities","data":"<hex>"}]}
// "valid" is false when the ATR's length disagrees with its own structure; what could be
// read is still given.
std::string atrFacts(const unsigned char* atr, size_t length);

}  // namespace cardinfo
