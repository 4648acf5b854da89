// The PIN and consent dialog of the PKI adapter: a pinentry program spoken to over the
// Assuan protocol. The program is $NOX_PINENTRY when set, else "pinentry" on PATH.
// The page never sees the dialog or the PIN.
//
// Every dialog ends within the seconds it is given: the program is told so (SETTIMEOUT),
// and one that does not take the time-out, or does not keep it, is killed a moment after.
#pragma once
#include <cstddef>
#include <string>

namespace pinentry {

enum class Outcome {
  Ok,           // confirmed, or a PIN was entered
  NotOk,        // the person chose the third button of a CONFIRM (SETNOTOK)
  Cancelled,    // the person chose the cancel button or closed the dialog
  TimedOut,     // nobody answered within the seconds given
  Unavailable,  // no dialog program could be started or it broke the protocol
};

// Asks a question with an OK and a cancel button, and a third one when notOkLabel is given;
// description is shown as it stands (lines split at '\n').
Outcome confirm(const std::string& title, const std::string& description, const char* okLabel,
                const char* cancelLabel, const char* notOkLabel, int seconds);
// Asks for a PIN into pin (capacity bytes, NUL-terminated, wiped on failure). errorText,
// when not empty, is shown as the dialog's error line (e.g. the previous try was wrong).
Outcome getPin(const std::string& title, const std::string& description, const std::string& errorText,
               char* pin, size_t capacity, int seconds);

}  // namespace pinentry
