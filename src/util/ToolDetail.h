// Internal to src/util/: no other module includes it.
// Internal pieces of the utilities, exposed for the console module and for tests.
// Not part of the service-wide contract in Tool.h.
#pragma once
#include <cstddef>
#include <ctime>

#include "util/Base.h"  // formatLocalTime

// Cuts an executable's full path down to its directory, in place: the text before
// the first "/./" when there is one, else up to the last '/' found at index 1 or later.
void trimExecutablePath(char* path);

// The version text "<base>.YY.MMDD" built from a compile-date text such as "Mar 15 2024".
// Null when either argument is null or the date text is malformed.
char* buildVersionStamp(const char* baseVersion, const char* buildDate);
