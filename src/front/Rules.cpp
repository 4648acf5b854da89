// Request rules of the handler that need no connection: TLS version, Host, origin from
// the referer, the main-thread flag.
#include <cstdio>
#include <cstring>

#include "diag/Console.h"
#include "front/HalvorantHttp.h"
#include "util/Tool.h"

TlsVerdict classifyProtocol(int protocol, const char** text) {
  static const struct {
    int protocol;
    TlsVerdict verdict;
    const char* text;
  } kTable[] = {
      {2, kTlsInsecure, "TLS 1.0"}, {3, kTlsInsecure, "TLS 1.1"},   {4, kTlsAccepted, "TLS 1.2"},
      {5, kTlsAccepted, "TLS 1.3"}, {200, kTlsAccepted, "DTLS 0.9"}, {201, kTlsAccepted, "DTLS 1.0"},
      {202, kTlsAccepted, "DTLS 1.2"},
  };
  for (const auto& row : kTable) {
    if (row.protocol == protocol) {
      if (text != nullptr) *text = row.text;
      return row.verdict;
    }
  }
  if (text != nullptr) *text = nullptr;
  return kTlsUnknown;
}

bool isLocalHost(const char* host) {
  if (host == nullptr) return false;
  return strncmp(host, "localhost:", 10) == 0 || strncmp(host, "127.0.0.1:", 10) == 0;
}

char* originFromReferer(const char* referer) {
  if (checkNoValue(referer) || strcmp(referer, "null") == 0) {
    printfColorWarningLine("Empty Referer: ", referer != nullptr ? referer : "");
    printfColorWarningLine("Extract origin from referer: ", "Fail");
    return nullptr;
  }
  char** pieces = getSubStringList(referer, "/");
  if (pieces == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  int count = 0;
  for (; pieces[count] != nullptr; ++count) {
    char label[64];
    snprintf(label, sizeof label, "UrlList[%d]: ", count);
    printfColorLine(label, pieces[count]);
  }
  char* origin = nullptr;
  if (count < 3) {
    printfColorWarningLine("", "UrlList error: ");
    printfColorWarningLine("Extract origin from referer: ", "Fail");
  } else {
    size_t size = strlen(pieces[0]) + strlen(pieces[1]) + strlen(pieces[2]) + 3;
    origin = static_cast<char*>(newMemSize(size));
    if (origin == nullptr) {
      HALVORANT_MEMORY_FAIL();
    } else {
      snprintf(origin, size, "%s/%s/%s", pieces[0], pieces[1], pieces[2]);
      printfColorLine("New Origin: ", origin);
    }
  }
  freeSubStringList(pieces);
  return origin;
}

bool wantsMainThread(const char* body) {
  if (body == nullptr) return false;
  static const char* const kFlags[] = {"\"HalvorantMainThread\":true", "\"MainThread\":true", "\"KeepAlive\":true"};
  for (const char* flag : kFlags)
    if (strstr(body, flag) != nullptr) return true;
  return false;
}
