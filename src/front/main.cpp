// Process entry: --version and --help answer and exit; otherwise the service runs.
// Exit statuses are listed in front/CommandLine.h.
#include <unistd.h>

#include <cstdlib>

#include "diag/Console.h"
#include "front/CommandLine.h"
#include "front/Halvorant.h"

int main(int argc, char** argv) {
  int status = handleCommandLine(argc, argv, stdout, stderr);
  if (status >= 0) return status;
  // A journal or file gets plain lines; escape sequences there only show as blobs.
  setConsoleColour(consoleColourWanted(STDOUT_FILENO, getenv("NO_COLOR")));
  return HalvorantMain();
}
