// A helper program the test talks to over its standard input and output: started with
// pipes, read line by line with a time limit, ended by closing its input (and, after a
// grace time, killed by its pid). Used for the card holder and the software TPM.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace noxtest {

class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess() { finish(); }

  // Starts argv[0] (a path) with argv; its standard error goes to errorFile when given.
  bool start(const std::vector<std::string>& argv, const std::string& errorFile = "") {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      int err = errorFile.empty() ? -1 : open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (err >= 0) dup2(err, STDERR_FILENO);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    input_ = in[1];
    output_ = out[0];
    return true;
  }

  // Writes a line to its input.
  bool send(const std::string& line) {
    std::string text = line + "\n";
    return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  bool running() const { return pid_ > 0; }

  // One line of its output, waiting at most seconds; "" at its end or the limit.
  std::string readLine(int seconds) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || output_ < 0) return line;
      pollfd p{output_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char c = 0;
      if (read(output_, &c, 1) != 1 || c == '\n') return line;
      line += c;
    }
  }

  // Closes its input (the program's cue to end) and waits for it, killing it after 20 s.
  void finish() {
    if (input_ >= 0) close(input_);
    if (output_ >= 0) close(output_);
    input_ = output_ = -1;
    if (pid_ <= 0) return;
    for (int i = 0; i < 400; ++i) {
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
};

}  // namespace noxtest
