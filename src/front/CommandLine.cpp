// Command line, certificate expiry and the console-colour choice.
#include "front/CommandLine.h"

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/Console.h"
#include "front/Halvorant.h"
#include "front/Key.h"
#include "platform/Platform.h"

#ifndef NOX_GIT_TIME
#define NOX_GIT_TIME "unknown"
#endif

namespace {

const char kUsage[] =
    "Usage: NoxHalvorant [--idle-exit=SECONDS | --version | --help | --trust | --untrust]\n"
    "\n"
    "Runs the local service for web pages of this user's browser: HTTPS on 127.0.0.1 and\n"
    "[::1], ports 54469, 54569 and 54669. The file log is switched on by\n"
    "/tmp/NoxHalvorant/NoxHalvorant.ini. Its certificate is this user's own: the first\n"
    "start makes a CA and a localhost certificate in $XDG_DATA_HOME/noxhalvorant (by default\n"
    "~/.local/share/noxhalvorant), later starts renew the certificate when needed.\n"
    "\n"
    "  --idle-exit=SECONDS\n"
    "             end (status 0) after SECONDS (1 to 31536000) without a connection, a\n"
    "             session, a live stored value or a pending call; the socket unit starts\n"
    "             the service with 600, and its next connection starts it again. Without\n"
    "             it the service runs until it is stopped\n"
    "  --version  print the version, the build and the certificate's expiry, then exit\n"
    "  --help     print this text, then exit\n"
    "  --trust    let this user's browsers trust the CA (made now if there is none yet):\n"
    "             Chromium and Chrome ($HOME/.pki/nssdb) and every Firefox profile\n"
    "  --untrust  remove exactly what --trust added\n"
    "\n"
    "Exit status: 0 after a stop signal, a change of the console user or an idle exit, 1\n"
    "when --trust or --untrust failed somewhere, 2 for an unknown argument or a bad\n"
    "--idle-exit, 69 when the service could not start (ports taken, no credentials).\n"
    "Colours only on a terminal; NO_COLOR=1 turns them off.\n";

constexpr long kDaySeconds = 24L * 60 * 60;
const char kIdleExitOption[] = "--idle-exit=";

// Where the command line's credential notes go.
FILE* g_out = stdout;
FILE* g_err = stderr;

void plainReport(CredentialNote kind, const char* label, const char* text) {
  (void)label;
  fprintf(kind == CredentialNote::Normal ? g_out : g_err, "NoxHalvorant: %s\n", text);
}

void consoleReport(CredentialNote kind, const char* label, const char* text) {
  switch (kind) {
    case CredentialNote::Normal:
      printfColorLine(label, text);
      break;
    case CredentialNote::Warning:
      printfColorWarningLine(label, text);
      break;
    case CredentialNote::Error:
      printfColorErrorLine(label, text);
      break;
  }
  flushConsole();
}

void printVersion(FILE* out) {
  fprintf(out, "NoxHalvorant %s\n", kHalvorantVersion);
  fprintf(out, "Build: %s %s, source %s\n", __DATE__, __TIME__, NOX_GIT_TIME);
  std::string dir;
  time_t expiry = 0;
  if (!platformDataDirectory(&dir)) {
    fprintf(out, "Certificate: unknown (HOME is not set)\n");
  } else if (certificateExpiry(&expiry)) {
    char text[64];
    formatExpiry(text, sizeof text, expiry);
    fprintf(out, "Certificate: localhost, expires %s\n", text);
    fprintf(out, "CA: %s/%s\n", dir.c_str(), kCaFileName);
  } else if (access((dir + "/" + kLeafFileName).c_str(), F_OK) != 0) {
    fprintf(out, "Certificate: none yet for this user (the first start makes it in %s)\n", dir.c_str());
  } else {
    fprintf(out, "Certificate: unreadable (%s/%s)\n", dir.c_str(), kLeafFileName);
  }
}

// --trust and --untrust: what was done where, one line each.
int changeTrust(bool trust, FILE* out, FILE* err) {
  std::string dir;
  if (!platformDataDirectory(&dir)) {
    fprintf(err, "NoxHalvorant: no data directory for this user (HOME is not set)\n");
    return kExitFailure;
  }
  const std::string ca = dir + "/" + kCaFileName;
  const std::string record = dir + "/" + kTrustRecordName;
  std::vector<TrustStep> steps;
  std::string error;
  bool ok;
  if (trust) {
    g_out = out;
    g_err = err;
    ok = prepareCredentials(dir.c_str(), time(nullptr), plainReport, nullptr);
    discardCredentials();  // only the CA certificate is needed here
    g_out = stdout;
    g_err = stderr;
    if (!ok) return kExitFailure;
    ok = platformTrustCa(ca.c_str(), kCaNickname, record.c_str(), &steps, &error);
  } else {
    ok = platformUntrustCa(ca.c_str(), kCaNickname, record.c_str(), &steps, &error);
  }
  for (const TrustStep& step : steps) {
    std::string what = step.what.empty() ? "" : " (" + step.what + ")";
    if (step.ok) {
      fprintf(out, "NoxHalvorant: %s %s%s: %s\n", kCaNickname, step.place.c_str(), what.c_str(), step.outcome.c_str());
    } else {
      fprintf(err, "NoxHalvorant: %s %s%s: failed: %s\n", kCaNickname, step.place.c_str(), what.c_str(),
              step.outcome.c_str());
      ok = false;
    }
  }
  if (!error.empty()) fprintf(err, "NoxHalvorant: %s\n", error.c_str());
  if (trust && steps.empty() && error.empty()) fprintf(out, "NoxHalvorant: no browser certificate store found\n");
  if (trust)
    fprintf(out, "NoxHalvorant: CA %s; restart the browsers. noxhalvorant --untrust undoes this.\n", ca.c_str());
  else
    fprintf(out, "NoxHalvorant: restart the browsers.\n");
  return ok ? kExitOk : kExitFailure;
}

bool isKnown(const char* arg) {
  for (const char* known : {"--version", "--help", "-h", "--trust", "--untrust"})
    if (strcmp(arg, known) == 0) return true;
  return strncmp(arg, kIdleExitOption, sizeof kIdleExitOption - 1) == 0;
}

// "--idle-exit=SECONDS": true with the seconds (1..kIdleExitMaxSeconds, decimal digits only).
bool readIdleExit(const char* arg, long* seconds) {
  const char* digits = arg + sizeof kIdleExitOption - 1;
  long value = 0;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + (*c - '0');
    if (value > kIdleExitMaxSeconds) return false;
  }
  *seconds = value;
  return value > 0;
}

}  // namespace

int handleCommandLine(int argc, char** argv, FILE* out, FILE* err, RunOptions* run) {
  if (argc <= 1) return -1;
  const char* arg = argv[1];
  if (argc == 2 && strncmp(arg, kIdleExitOption, sizeof kIdleExitOption - 1) == 0) {
    long seconds = 0;
    if (!readIdleExit(arg, &seconds)) {
      fprintf(err, "NoxHalvorant: %s: SECONDS must be a whole number from 1 to %ld\n\n%s", arg, kIdleExitMaxSeconds,
              kUsage);
      return kExitUsage;
    }
    if (run != nullptr) run->idleExitSeconds = seconds;
    return -1;
  }
  if (argc == 2 && strcmp(arg, "--version") == 0) {
    printVersion(out);
    return kExitOk;
  }
  if (argc == 2 && (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0)) {
    fputs(kUsage, out);
    return kExitOk;
  }
  if (argc == 2 && (strcmp(arg, "--trust") == 0 || strcmp(arg, "--untrust") == 0))
    return changeTrust(strcmp(arg, "--trust") == 0, out, err);
  const char* bad = argv[1];
  for (int i = 1; i < argc; ++i) {
    if (!isKnown(argv[i])) {
      bad = argv[i];
      break;
    }
  }
  fprintf(err, "NoxHalvorant: unknown argument '%s'\n\n%s", bad, kUsage);
  return kExitUsage;
}

bool certificateExpiry(time_t* expiry) {
  std::string dir;
  return expiry != nullptr && platformDataDirectory(&dir) && readCertificateExpiry(dir.c_str(), expiry);
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

bool prepareStartCredentials() {
  std::string dir;
  time_t expiry = 0;
  if (!platformDataDirectory(&dir)) {
    printfColorErrorLine("Credentials: ", "no data directory for this user's certificate (HOME is not set)");
    return false;
  }
  if (!prepareCredentials(dir.c_str(), time(nullptr), consoleReport, &expiry)) return false;
  char date[64];
  formatExpiry(date, sizeof date, expiry);
  time_t now = time(nullptr);
  char text[160];
  switch (expiryState(expiry, now)) {
    case ExpiryState::Valid:
      printfColorLine("Certificate expiry: ", date);
      break;
    case ExpiryState::Soon:
      snprintf(text, sizeof text, "%s, in %ld days; it could not be renewed (see above)", date, daysLeft(expiry, now));
      printfColorWarningLine("Certificate expiry: ", text);
      break;
    case ExpiryState::Expired:
      snprintf(text, sizeof text, "%s, expired; browsers refuse the connection", date);
      printfColorErrorLine("Certificate expiry: ", text);
      break;
  }
  return true;
}

bool consoleColourWanted(int fd, const char* noColor) {
  if (noColor != nullptr && noColor[0] != '\0') return false;
  return isatty(fd) == 1;
}
