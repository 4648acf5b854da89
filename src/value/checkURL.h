// Domain-list matching: may a page's origin read a stored value?
//
// A domain list is "entry;entry;...". Each entry is a host name or address, trimmed of
// white space; "*" stands for any run of non-space characters; a leading "." means "*.",
// a trailing "." means ".*"; "." is literal; every other character keeps its ECMAScript
// pattern meaning. Matching is case-insensitive; the origin is reduced to its host (the
// lower-case "http://" / "https://" and everything from the first ":" are removed).
//
// Use per check, in this order: setUnlockURL(list); unlock(origin); isUrlUnlock();
// freeCheckURL(). State is process-wide and unlocked: callers keep checks apart.
//
// Pages write these lists, so what reaches the pattern engine is bounded: lists beyond the
// limits below admit nobody, origins longer than a host can be are not addresses, and
// patterns run in polynomial time (no lookahead, no back-references).
#pragma once
#include <cstddef>
#include <string>
#include <vector>

// "https://" + longest host name + "/" + ":" and a five-digit port.
constexpr size_t HALVORANT_ORIGIN_MAX = 8 + 253 + 1 + 6;
constexpr size_t HALVORANT_DOMAIN_LIST_MAX = 4096;   // characters of the whole list
constexpr size_t HALVORANT_DOMAIN_ENTRIES_MAX = 64;  // non-empty entries
constexpr size_t HALVORANT_DOMAIN_ENTRY_MAX = 253;   // characters of one trimmed entry
// Weight: length of the pattern an entry becomes ("*" is "\S*", "." is "\.") times the
// product of its repetition counts ("{n}", "{n,m}"). It bounds the size of the compiled
// pattern, and so the time and stack a match can take.
// Without repetition counts the list limits above keep a list well within both.
constexpr size_t HALVORANT_DOMAIN_ENTRY_WEIGHT_MAX = 4096;
constexpr size_t HALVORANT_DOMAIN_LIST_WEIGHT_MAX = 16384;
// Loops: "*" (implied ones too) and "+", times the entry's repetition counts, summed over
// the list. Each costs the matcher far more than a plain character; this bound keeps the
// worst check within a few milliseconds (bench/value).
constexpr size_t HALVORANT_DOMAIN_LIST_LOOPS_MAX = 128;

// Compiled patterns of the current list, in list order.
extern std::vector<std::string> vecDomainRegexs;
// Verdict of the current check.
extern bool bIsUnlock;

// Null when the list is within the limits (a null list is), else the reason it is not.
const char* checkDomainList(const char* domainList);

// Compiles the list into vecDomainRegexs and sets the verdict to false. A null, empty or
// over-limit list leaves no patterns, so nobody is admitted.
void setUnlockURL(const char* domainList);
// Sets the verdict to true when the origin is an http(s) address matching the list.
void unlock(const char* origin);
bool isUrlUnlock();
// Verdict false, unlock(origin), verdict. Null origin: warning, false.
bool checkDomain(const char* origin);
void freeCheckURL();
