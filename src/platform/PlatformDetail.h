// Internal to src/platform/: no other module includes it.
// Internal rule of the Linux console-user source, exposed for tests.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

enum : int { kConsoleModeUnknown = 0, kConsoleModeSeat = 1, kConsoleModeOwnUid = 2 };

// One reading of the console user. seatReadable/seatOwner: what seat0 told; ownUid: the
// process's uid; mode: kept between readings. A readable seat gives its owner; with no
// seat the own uid stands in, unless a seat was readable before (then false: the console
// changed hands).
bool consoleUserFromSeat(bool seatReadable, int32_t seatOwner, int32_t ownUid, std::atomic<int>* mode,
                         int32_t* uid);

// Runs a program found on PATH with argv (no shell), standard input empty, and collects
// its standard output and error (at most 64 KiB). Exit status; -1 when it could not run
// or was killed (*output then says why).
int runProgram(const std::vector<std::string>& argv, std::string* output);
// Whether an executable of that name is on PATH.
bool programOnPath(const char* name);
