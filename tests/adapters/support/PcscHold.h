// Another program that holds the virtual card in a PC/SC transaction (support/pcsc_hold.c)
// until release() or destruction: what a program waiting for a PIN on the reader's keypad
// does to everybody else.
//
//   noxtest::CardHolder holder;
//   ASSERT_TRUE(holder.hold(noxtest::kVirtualReader)) << holder.error();
#pragma once

#include <string>

#include "adapters/support/ChildProcess.h"

#ifndef NOX_PCSC_HOLD
#error "needs NOX_PCSC_HOLD (the pcsc_hold program)"
#endif

namespace noxtest {

class CardHolder {
 public:
  // Starts the program and waits (at most 30 s) until it holds the card.
  bool hold(const std::string& reader) {
    if (!child_.start({NOX_PCSC_HOLD, reader})) return fail("cannot start pcsc_hold");
    std::string line = child_.readLine(30);
    return line == "held" || fail("pcsc_hold said '" + line + "'");
  }

  // Ends the transaction and waits for the program to exit.
  void release() { child_.finish(); }

  const std::string& error() const { return error_; }

 private:
  bool fail(const std::string& why) {
    error_ = why;
    return false;
  }

  ChildProcess child_;
  std::string error_;
};

}  // namespace noxtest
