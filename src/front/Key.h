// TLS credentials of the listeners: this user's own CA and localhost certificate.
//
// Nothing installed holds a key (a key shipped in the executable would be every user's and
// every machine's). At its first start the service makes, for the user who runs it, a CA
// (ECDSA P-256, name-constrained to localhost, 127.0.0.1 and ::1) and a localhost
// certificate issued by it, and keeps them in the user's data directory
// (platformDataDirectory): the directory 0700, key files 0600, each file written to a
// temporary created with O_NOFOLLOW|O_EXCL and renamed into place. Every start checks owner
// and mode of the directory and of every file: a file that is a link or not the user's, a
// key file readable by others, or a certificate writable by others is refused with a clear
// error and never used (nor replaced). Later starts load the files; the leaf is renewed with
// the CA key (kept beside it, 0600) when fewer than kRenewDays remain. A CA without its key,
// or itself near its end, is replaced, and browsers must trust the new one
// (noxhalvorant --trust). A lock on the directory keeps two processes from making them at
// once.
//
// The checks, and any making or renewing, run in a short-lived child process: the CA key
// never enters the service, and what GnuTLS leaves of parsed or new keys in freed memory
// goes with the child. The service itself only reads the leaf's two files, checked again,
// and hands the texts to the listeners; the key text lives in plain form only from
// prepareCredentials until the listeners took it (getKey's caller overwrites it).
#pragma once
#include <ctime>

// File names inside the data directory, and the name browsers' stores list the CA under.
constexpr const char* kCaFileName = "NoxHalvorant-CA.pem";
constexpr const char* kCaKeyFileName = "NoxHalvorant-CA-key.pem";
constexpr const char* kLeafFileName = "localhost.pem";
constexpr const char* kLeafKeyFileName = "localhost-key.pem";
constexpr const char* kTrustRecordName = "trusted-dbs";  // databases --trust changed
constexpr const char* kCaNickname = "NoxHalvorant-CA";
constexpr int kRenewDays = 30;

// How prepareCredentials tells what it did: start-up makes console lines of these, the
// command line plain text.
enum class CredentialNote { Normal, Warning, Error };
typedef void (*CredentialReport)(CredentialNote kind, const char* label, const char* text);

// Loads this user's credentials from directory (made with its missing parents when absent),
// making, renewing or replacing them as described above, at the time now. True when a
// certificate and key are ready for getCert/getKey; *expiry (optional) then holds the
// leaf's notAfter. False after an error note; nothing is then kept.
bool prepareCredentials(const char* directory, time_t now, CredentialReport report, time_t* expiry);

// Hand over the prepared texts (null when none is waiting: each is given once). getCert's
// caller releases with freeMem; getKey's caller must overwrite the key text (random bytes
// or zeros, its whole length) before releasing it.
char* getCert();
char* getKey();
// Wipes and drops prepared texts nobody took.
void discardCredentials();

// notAfter of the leaf certificate in directory, read without making or changing anything;
// false when there is none or it cannot be read (a refused file included).
bool readCertificateExpiry(const char* directory, time_t* expiry);
