// NoxPkiCryptAdapter: a demonstration certificate store.
//
// Functions:
//   "ListCertificates" -> JSON text {"certificates":[...]} of the demo certificates
//   "CountCertificates" -> their number as decimal text
// Failures answer "error: <reason>".
#include <cstdio>

#include "AdapterKit.h"

using adapterkit::answer;
using adapterkit::error;
using adapterkit::sameName;

namespace {

constexpr const char* kVersion = "1.0.0.1";

struct DemoCertificate {
  const char* subject;
  const char* issuer;
  const char* serial;
  const char* notAfter;
};

constexpr DemoCertificate kCertificates[] = {
    {"CN=Demo User,O=Nox Demo", "CN=Nox Demo CA", "01", "2030-12-31"},
    {"CN=Demo Signer,O=Nox Demo", "CN=Nox Demo CA", "02", "2029-06-30"},
};

const char* listCertificates() {
  char text[2048];
  size_t used = static_cast<size_t>(snprintf(text, sizeof text, "{\"certificates\":["));
  bool first = true;
  for (const DemoCertificate& c : kCertificates) {
    used += static_cast<size_t>(snprintf(text + used, sizeof text - used,
                                         "%s{\"subject\":\"%s\",\"issuer\":\"%s\",\"serial\":\"%s\",\"notAfter\":\"%s\"}",
                                         first ? "" : ",", c.subject, c.issuer, c.serial, c.notAfter));
    first = false;
  }
  snprintf(text + used, sizeof text - used, "]}");
  return answer(text);
}

}  // namespace

extern "C" const char* callJsonMapMethod(const HalvorantJsonMap* map, const char* functionName) {
  if (sameName(functionName, "Halvorant_GetVersion")) return answer(kVersion);
  if (sameName(functionName, "Halvorant_Release")) return answer("0");
  if (sameName(functionName, "ListCertificates")) return listCertificates();
  if (sameName(functionName, "CountCertificates")) {
    char text[16];
    snprintf(text, sizeof text, "%zu", sizeof kCertificates / sizeof kCertificates[0]);
    return answer(text);
  }
  return error("unknown function");
}
