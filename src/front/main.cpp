// Process entry: --version and --help answer and exit; otherwise the service runs.
// Exit statuses are listed in front/CommandLine.h.
#include <unistd.h>

#include <cstdlib>

#include "diag/Console.h"
#include "front/CommandLine.h"
#include "front/Halvorant.h"

int main(int argc, char** argv) {
  RunOptions run;
  int status = handleCommandLine(argc, argv, stdout, stderr, &run);
  if (status >= 0) return status;
  setIdleExit(std::chrono::seconds(run.idleExitSeconds));
  // A journal or file gets plain lines; escape sequences there only show as blobs.
  setConsoleColour(consoleColourWanted(STDOUT_FILENO, getenv("NO_COLOR")));
  return HalvorantMain();
}
