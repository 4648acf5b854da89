// Operating-system layer: the only place with platform-specific calls.
// Linux implementation in PlatformLinux.cpp, macOS in PlatformMac.cpp (built on Apple only).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Writes the running executable's full path into buffer (capacity bytes, NUL-terminated).
// Returns 0 on success, -1 when the path does not fit, -2 on any other failure.
int platformExecutablePath(char* buffer, uint32_t capacity);

// Reads the user id of the console (graphical) session owner into *uid.
// Linux: the user of the active session on seat0 (logind); on a machine without seat0,
// the process's own uid. macOS: CoreGraphics session dictionary. False when unreadable.
// Linux keeps the reading while logind's seat monitor reports no change (checked without
// waiting at each call, read again at the first call after a report), so it answers as
// a fresh reading would; a reading that failed for want of resources is not kept. Where
// no monitor can be had (and on macOS) every call reads afresh.
bool platformConsoleUser(int32_t* uid);

// After platformConsoleUser failed on this thread: true when it failed for want of
// resources (descriptors, memory, EAGAIN), which says nothing about who owns the console.
bool platformConsoleUserBusy();

// Test seam: replaces the console-user source (called at every call, nothing kept);
// nullptr restores the real one, which then reads afresh.
typedef bool (*ConsoleUserSource)(int32_t* uid);
void setConsoleUserSource(ConsoleUserSource source);

// The system's id of the calling thread.
uint64_t platformThreadId();

// Copies source to destination in-process (no shell, no child), creating or replacing it.
// Returns 0 on success, otherwise an errno value.
int platformCopyFile(const char* source, const char* destination);

// Keeps the shared libraries that the just-opened library brought in (those loaded after
// it) loaded for the life of the process, so that the next load of an adapter needing them
// does not map, relocate and bind them again. Libraries named *.dylib (adapters, their
// copies and their own helper libraries) are never kept: each load of those stays fresh.
// Returns how many libraries it found to keep (at most 32 a call); macOS keeps nothing (0).
int platformKeepDependencies(void* library);

// Owner of the other end of an accepted loopback TCP connection: peer is the client's
// address (its socket's local address), local the address it connected to.
enum PeerOwner : int {
  kPeerOwnUser = 0,     // the client's socket belongs to this process's effective uid
  kPeerOtherUser = 1,   // *owner holds the other uid
  kPeerUnknown = 2,     // not found or not readable (refuse)
  kPeerUncheckable = 3  // this platform has no way to tell (macOS)
};
struct sockaddr;
PeerOwner platformPeerOwner(const sockaddr* peer, const sockaddr* local, uint32_t* owner);

// Owner of a listening TCP socket that keeps address (127.0.0.1:port or [::1]:port) from
// being bound: one on that address, or on the wildcard address of either family with the
// same port. Another user's wins over this user's when both exist. kPeerUnknown: none found
// (or not readable); kPeerUncheckable on macOS.
PeerOwner platformPortHolder(const sockaddr* address, uint32_t* owner);

// Listening sockets the service manager handed over (socket activation: LISTEN_FDS and
// LISTEN_PID on Linux, read once and removed from the environment). Returns how many, the
// first at *first, each made close-on-exec; 0 when none were given (always on macOS).
int platformActivationSockets(int* first);

// The directory of this user's own files of the service (credentials, the trust record):
// $XDG_DATA_HOME/noxhalvorant when XDG_DATA_HOME is an absolute path, else
// $HOME/.local/share/noxhalvorant (HOME from the environment, else the user database).
// macOS: ~/Library/Application Support/NoxHalvorant. False when no home can be found.
bool platformDataDirectory(std::string* path);

// ---- Trust of the user's CA in the browsers' stores ----------------------------------------
// Linux: NSS databases (certutil of libnss3-tools): $HOME/.pki/nssdb (Chromium, Chrome;
// created when missing), the snap Chromium's when present, and every Firefox profile named
// in a profiles.ini of ~/.mozilla/firefox, $XDG_CONFIG_HOME/mozilla/firefox or the snap's,
// or holding a cert9.db there (a profile Firefox never started gets its cert9.db made with
// an empty password). Every database that received the CA is listed in the record file,
// one path a line; untrust removes the CA from exactly those. macOS: the login keychain
// (untested).
struct TrustStep {
  std::string place;    // the database (or keychain)
  std::string what;     // "Chromium, Chrome", "Firefox profile", ...
  bool ok = false;
  std::string outcome;  // what was done, or why it failed
};
// Trusts caFile under nickname in every store found; false (with *error) when nothing
// could be tried at all (no certutil, no home). steps lists each store.
bool platformTrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps,
                     std::string* error);
// Removes nickname from every store the record lists (and $HOME/.pki/nssdb), then the
// record. caFile names the certificate where the store needs it (macOS).
bool platformUntrustCa(const char* caFile, const char* nickname, const char* record, std::vector<TrustStep>* steps, std::string* error);

// Raises the soft limit of open descriptors to the hard limit; the new soft limit.
uint64_t platformRaiseDescriptorLimit();
