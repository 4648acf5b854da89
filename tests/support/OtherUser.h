// Runs a shell command as a second local user, for tests of what another user can do.
//
// As root: setpriv to uid/gid 65534 ("nobody"). Otherwise: a user namespace whose uid 1
// maps to the first subordinate uid of the caller (unshare --map-auto, which needs
// newuidmap and an /etc/subuid entry). When neither works the caller gets the reason and
// must fail with it: these tests are never skipped silently.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
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

// A command run as the second user in the background, for as long as the test needs it:
// its standard input is a pipe, and the command must end when that closes (read it to the
// end). Its output is read line by line.
class OtherUserProcess {
 public:
  OtherUserProcess() = default;
  OtherUserProcess(const OtherUserProcess&) = delete;
  OtherUserProcess& operator=(const OtherUserProcess&) = delete;
  ~OtherUserProcess() { stop(); }

  // False with *why when there is no second user or the command could not start.
  bool start(const std::string& command, std::string* why) {
    std::string prefix = otherUserPrefix(why);
    if (prefix.empty()) return false;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
      *why = "pipe failed";
      return false;
    }
    pid_ = fork();
    if (pid_ < 0) {
      *why = "fork failed";
      return false;
    }
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(out[1], STDERR_FILENO);
      close(in[0]), close(in[1]), close(out[0]), close(out[1]);
      std::string line = prefix + "/bin/sh -c " + shellQuote(command);
      execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    return true;
  }

  // The next line of output (without its newline); empty after seconds or at its end.
  std::string readLine(int seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p = {output_, POLLIN, 0};
      if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
      char chunk[512];
      ssize_t n = read(output_, chunk, sizeof chunk);
      if (n <= 0) return "";
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Closes its input and reaps it (killed, by its pid, if it has not ended within 10 s).
  void stop() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (pid_ > 0) {
      bool reaped = false;
      for (int i = 0; i < 500 && !reaped; ++i) {
        reaped = waitpid(pid_, nullptr, WNOHANG) != 0;
        if (!reaped) usleep(20000);
      }
      if (!reaped) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
      }
    }
    pid_ = -1;
    if (output_ >= 0) close(output_);
    output_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1, output_ = -1;
  std::string buffer_;
};

}  // namespace noxtest
