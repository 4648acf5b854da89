// Command line, certificate expiry and the console-colour choice.
#include "front/CommandLine.h"

#include <gnutls/x509.h>
#include <unistd.h>

#include <cstring>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/KeyData.h"

#ifndef NOX_GIT_TIME
#define NOX_GIT_TIME "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: NoxHalvorant [--version | --help]\n"
    "\n"
    "Runs the local service for web pages of this user's browser: HTTPS on 127.0.0.1 and\n"
    "[::1], ports 54469, 54569 and 54669. It takes no settings; the file log is switched on\n"
    "by /tmp/NoxHalvorant/NoxHalvorant.ini.\n"
    "\n"
    "  --version  print the version, the build and the certificate's expiry, then exit\n"
    "  --help     print this text, then exit\n"
    "\n"
    "Exit status: 0 after a stop signal or a change of the console user, 2 for an unknown\n"
    "argument, 69 when the service could not start (ports taken, no credentials).\n"
    "Colours only on a terminal; NO_COLOR=1 turns them off.\n";

constexpr long kDaySeconds = 24L * 60 * 60;

void printVersion(FILE* out) {
  fprintf(out, "NoxHalvorant %s\n", kHalvorantVersion);
  fprintf(out, "Build: %s %s, source %s\n", __DATE__, __TIME__, NOX_GIT_TIME);
  time_t expiry = 0;
  if (certificateExpiry(&expiry)) {
    char text[64];
    formatExpiry(text, sizeof text, expiry);
    fprintf(out, "Certificate: localhost, expires %s\n", text);
  } else {
    fprintf(out, "Certificate: unreadable\n");
  }
}

}  // namespace

int handleCommandLine(int argc, char** argv, FILE* out, FILE* err) {
  if (argc <= 1) return -1;
  const char* arg = argv[1];
  if (argc == 2 && strcmp(arg, "--version") == 0) {
    printVersion(out);
    return kExitOk;
  }
  if (argc == 2 && (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)) {
    fputs(kUsage, out);
    return kExitOk;
  }
  const char* bad = argv[1];
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--version") != 0 && strcmp(argv[i], "--help") != 0 && strcmp(argv[i], "-h") != 0) {
      bad = argv[i];
      break;
    }
  }
  fprintf(err, "NoxHalvorant: unknown argument '%s'\n\n%s", bad, kUsage);
  return kExitUsage;
}

bool certificateExpiry(time_t* expiry) {
  if (expiry == nullptr) return false;
  gnutls_x509_crt_t crt = nullptr;
  if (gnutls_x509_crt_init(&crt) != 0) return false;
  gnutls_datum_t pem = {reinterpret_cast<unsigned char*>(const_cast<char*>(kNoxCertPem)),
                        static_cast<unsigned>(strlen(kNoxCertPem))};
  bool ok = false;
  if (gnutls_x509_crt_import(crt, &pem, GNUTLS_X509_FMT_PEM) == 0) {
    time_t when = gnutls_x509_crt_get_expiration_time(crt);
    if (when != static_cast<time_t>(-1)) {
      *expiry = when;
      ok = true;
    }
  }
  gnutls_x509_crt_deinit(crt);
  return ok;
}

long daysLeft(time_t expiry, time_t now) {
  long seconds = static_cast<long>(expiry - now);
  return seconds >= 0 ? seconds / kDaySeconds : -((-seconds + kDaySeconds - 1) / kDaySeconds);
}

ExpiryState expiryState(time_t expiry, time_t now) {
  if (expiry <= now) return ExpiryState::Expired;
  if (expiry - now <= static_cast<time_t>(kExpiryWarningDays) * kDaySeconds) return ExpiryState::Soon;
  return ExpiryState::Valid;
}

void formatExpiry(char* out, size_t size, time_t expiry) {
  struct tm utc;
  if (out == nullptr || size == 0) return;
  if (gmtime_r(&expiry, &utc) == nullptr || strftime(out, size, "%Y-%m-%d %H:%M:%S UTC", &utc) == 0) out[0] = '\0';
}

void printCertificateExpiry() {
  time_t expiry = 0;
  if (!certificateExpiry(&expiry)) {
    printfColorWarningLine("Certificate expiry: ", "unreadable");
    return;
  }
  char date[64];
  formatExpiry(date, sizeof date, expiry);
  time_t now = time(nullptr);
  char text[160];
  switch (expiryState(expiry, now)) {
    case ExpiryState::Valid:
      printfColorLine("Certificate expiry: ", date);
      break;
    case ExpiryState::Soon:
      snprintf(text, sizeof text, "%s, in %ld days; rebuild and reinstall to renew it", date, daysLeft(expiry, now));
      printfColorWarningLine("Certificate expiry: ", text);
      break;
    case ExpiryState::Expired:
      snprintf(text, sizeof text, "%s, expired; browsers refuse the connection: rebuild and reinstall", date);
      printfColorErrorLine("Certificate expiry: ", text);
      break;
  }
}

bool consoleColourWanted(int fd, const char* noColor) {
  if (noColor != nullptr && noColor[0] != '\0') return false;
  return isatty(fd) == 1;
}
