// Internal to src/platform/: no other module includes it.
// Internal rule of the Linux console-user source, exposed for tests.
#pragma once
#include <atomic>
#include <cstdint>

enum : int { kConsoleModeUnknown = 0, kConsoleModeSeat = 1, kConsoleModeOwnUid = 2 };

// One reading of the console user. seatReadable/seatOwner: what seat0 told; ownUid: the
// process's uid; mode: kept between readings. A readable seat gives its owner; with no
// seat the own uid stands in, unless a seat was readable before (then false: the console
// changed hands).
bool consoleUserFromSeat(bool seatReadable, int32_t seatOwner, int32_t ownUid, std::atomic<int>* mode,
                         int32_t* uid);
