// Runs a shell command as a second local user, for tests of what another user can do.
//
// As root: setpriv to uid/gid 65534 ("nobody"). Otherwise: a user namespace whose uid 1
// maps to the first subordinate uid of the caller (unshare --map-auto, which needs
// newuidmap and an /etc/subuid entry). When neither works the caller gets the reason and
// must fail with it: these tests are never skipped silently.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace noxtest {

// Single-quotes text for /bin/sh.
inline std::string shellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

// The prefix that runs a command as the second user (empty with *why set when none).
inline std::string otherUserPrefix(std::string* why) {
  if (geteuid() == 0) return "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";
  static const std::string prefix = [] {
    std::string candidate = "unshare --map-auto --map-root-user -- setpriv --reuid=1 --regid=1 --clear-groups -- ";
    int status = system((candidate + "/bin/sh -c 'test \"$(id -u)\" = 1' 2>/dev/null").c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? candidate : std::string();
  }();
  if (prefix.empty() && why != nullptr)
    *why = "no second user: not root (setpriv) and no user namespace with subordinate uids "
           "(unshare --map-auto needs the uidmap package and an /etc/subuid entry)";
  return prefix;
}

// Gives path (a file or directory of ours) to the second user, keeping its mode: chown as
// root, otherwise from inside a user namespace, where that user is uid 1. Empty, or why not.
inline std::string chownToOtherUser(const std::string& path) {
  std::string command = geteuid() == 0 ? "chown 65534:65534 " + shellQuote(path)
                                       : "unshare --map-auto --map-root-user -- chown 1:1 " + shellQuote(path);
  int status = system((command + " 2>/dev/null").c_str());
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return "";
  return "cannot give " + path + " to a second user (" + command +
         "): not root and no user namespace with subordinate uids";
}

struct OtherUserRun {
  bool started = false;  // false: no second user available (see why)
  int status = -1;       // exit status of the command
  std::string output;    // its standard output and error
  std::string why;
};

// Runs command (a /bin/sh command line) as the second user and collects what it prints.
inline OtherUserRun runAsOtherUser(const std::string& command) {
  OtherUserRun run;
  std::string prefix = otherUserPrefix(&run.why);
  if (prefix.empty()) return run;
  std::string line = prefix + "/bin/sh -c " + shellQuote(command) + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) {
    run.why = "popen failed";
    return run;
  }
  run.started = true;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

}  // namespace noxtest
