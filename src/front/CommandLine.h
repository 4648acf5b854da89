// Internal to src/front/: no other module includes it.
// The service's command line and its certificate's validity, as users see them.
//
// The service takes one setting on its command line, --idle-exit=SECONDS (for a start by
// the service manager's socket); it answers --version and --help, trusts or untrusts this
// user's CA in the browsers (--trust, --untrust) and refuses anything else, so a typo
// never starts a second service by accident.
#pragma once
#include <cstdio>
#include <ctime>

// Exit statuses of the process.
enum : int {
  kExitOk = 0,           // normal end, stop signal, console-user change
  kExitFailure = 1,      // --trust or --untrust could not do its work
  kExitUsage = 2,        // unknown argument
  kExitUnavailable = 69, // start-up failed (no listener, no credentials, no work dir)
};

// How the service is to run.
struct RunOptions {
  long idleExitSeconds = 0;  // --idle-exit: 0 never ends by itself
};
constexpr long kIdleExitMaxSeconds = 365L * 24 * 60 * 60;

// Handles argv. Returns -1 when the service should start (with *run filled in when given),
// else the exit status, having written the version, usage or what --trust/--untrust did to
// out, or the complaint (and usage) to err.
int handleCommandLine(int argc, char** argv, FILE* out, FILE* err, RunOptions* run = nullptr);

// Expiry (notAfter) of this user's localhost certificate, read from the data directory
// without making anything; false when there is none yet or it cannot be read.
bool certificateExpiry(time_t* expiry);

// What start-up says about a certificate that expires at expiry, seen at now.
enum class ExpiryState { Valid, Soon, Expired };
constexpr int kExpiryWarningDays = 30;
ExpiryState expiryState(time_t expiry, time_t now);
// Whole days from now to expiry, rounded down; negative once expired.
long daysLeft(time_t expiry, time_t now);

// "YYYY-MM-DD HH:MM:SS UTC" into out (at least 32 bytes).
void formatExpiry(char* out, size_t size, time_t expiry);

// Start-up's credential step: this user's certificate loaded, made or renewed
// (prepareCredentials, its notes as console lines), then the expiry line: the date, a
// warning within kExpiryWarningDays of it (the renewal failed), an error once it is past.
// False when there are no credentials to start with.
bool prepareStartCredentials();

// Colours on the console: only for a terminal, never when NO_COLOR is set and not empty.
bool consoleColourWanted(int fd, const char* noColor);
