// Another program that holds the virtual card in a PC/SC transaction (support/pcsc_hold.c)
// until release() or destruction: what a program waiting for a PIN on the reader's keypad
// does to everybody else.
//
//   noxtest::CardHolder holder;
//   ASSERT_TRUE(holder.hold(noxtest::kVirtualReader)) << holder.error();
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#ifndef NOX_PCSC_HOLD
#error "needs NOX_PCSC_HOLD (the pcsc_hold program)"
#endif

namespace noxtest {

class CardHolder {
 public:
  CardHolder() = default;
  CardHolder(const CardHolder&) = delete;
  CardHolder& operator=(const CardHolder&) = delete;
  ~CardHolder() { release(); }

  // Starts the program and waits (at most 30 s) until it holds the card.
  bool hold(const std::string& reader) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return fail("pipe");
    pid_ = fork();
    if (pid_ < 0) return fail("fork");
    if (pid_ == 0) {
      dup2(in[0], STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      execl(NOX_PCSC_HOLD, "pcsc_hold", reader.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toHolder_ = in[1];
    std::string line;
    pollfd p{out[0], POLLIN, 0};
    char c = 0;
    while (poll(&p, 1, 30000) > 0 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
    close(out[0]);
    return line == "held" || fail("pcsc_hold said '" + line + "'");
  }

  // Ends the transaction and waits for the program to exit.
  void release() {
    if (toHolder_ >= 0) close(toHolder_);
    toHolder_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  pid_t pid_ = -1;
  int toHolder_ = -1;
  std::string error_;
};

}  // namespace noxtest
