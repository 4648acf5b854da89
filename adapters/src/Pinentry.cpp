// Pinentry over libassuan. One program run per question: nothing of the dialog (or the
// PIN) outlives the call.
#include "Pinentry.h"

#include <assuan.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>

#include "AdapterKit.h"
#include "platform/Wipe.h"

namespace pinentry {

namespace {

// How long past its own time-out a dialog program may take before it is killed.
constexpr int kGraceSeconds = 3;
// The longest PIN the dialog takes (more counts as cancelled).
constexpr size_t kPinRoom = 256;
// Room for an Assuan command line (its limit is 1000 bytes).
constexpr size_t kMaxEscapedText = 900;

std::string programPath() {
  const char* chosen = getenv("NOX_PINENTRY");
  if (chosen != nullptr && chosen[0] != '\0') return chosen;
  const char* path = getenv("PATH");
  std::string dirs = path != nullptr && path[0] != '\0' ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && dir[0] == '/') {  // relative PATH entries depend on the working directory
      std::string candidate = dir + "/pinentry";
      if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    start = end + 1;
  }
  return "";
}

// Assuan percent-escaping of a command argument, cut to fit one command line.
std::string escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (out.size() >= kMaxEscapedText) break;
    if (c < 0x20 || c == '%' || c == 0x7f) {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

struct PinBuffer {
  char* data;
  size_t capacity;
  size_t used;
  bool overflow;
};

gpg_error_t collectPin(void* opaque, const void* buffer, size_t length) {
  PinBuffer* pin = static_cast<PinBuffer*>(opaque);
  if (pin->used + length >= pin->capacity) {
    pin->overflow = true;
    return 0;
  }
  memcpy(pin->data + pin->used, buffer, length);
  pin->used += length;
  return 0;
}

Outcome fromError(gpg_error_t err) {
  if (err == 0) return Outcome::Ok;
  switch (gpg_err_code(err)) {
    case GPG_ERR_NOT_CONFIRMED:
      return Outcome::NotOk;
    case GPG_ERR_CANCELED:
    case GPG_ERR_ASS_CANCELED:
    case GPG_ERR_FULLY_CANCELED:
      return Outcome::Cancelled;
    case GPG_ERR_TIMEOUT:
      return Outcome::TimedOut;
    default:
      return Outcome::Unavailable;
  }
}

// One dialog program for the length of one question.
class Dialog {
 public:
  Dialog() {
    if (assuan_new(&ctx_) != 0) {
      ctx_ = nullptr;
      return;
    }
    std::string program = programPath();
    if (program.empty()) return;
    const char* argv[] = {"pinentry", nullptr};
    connected_ = assuan_pipe_connect(ctx_, program.c_str(), argv, nullptr, nullptr, nullptr, 0) == 0;
    // Keeps the PIN out of libassuan's own logging.
    if (connected_) assuan_set_flag(ctx_, ASSUAN_CONFIDENTIAL, 1);
  }
  ~Dialog() {
    if (ctx_ != nullptr) assuan_release(ctx_);  // closes the pipes and reaps the program
  }
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  bool ready() const { return connected_; }
  pid_t pid() const { return connected_ ? assuan_get_pid(ctx_) : -1; }

  gpg_error_t command(const std::string& line) {
    return assuan_transact(ctx_, line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  gpg_error_t collect(const char* line, PinBuffer* pin) {
    return assuan_transact(ctx_, line, collectPin, pin, nullptr, nullptr, nullptr, nullptr);
  }

  // Time-out, title and description; optional settings a program may not know are ignored.
  // A program that refuses the time-out still ends at the limit: the question is ended
  // around it (ask).
  bool setUp(const std::string& title, const std::string& description, int seconds) {
    command("SETTIMEOUT " + std::to_string(seconds));
    if (command("SETDESC " + escape(description)) != 0) return false;
    command("SETTITLE " + escape(title));
    return true;
  }

 private:
  assuan_context_t ctx_ = nullptr;
  bool connected_ = false;
};

// What a question owns, on the thread that asks it: the program's pid (for ending it from
// outside), the outcome, and the PIN, wiped when the question goes.
struct Question {
  std::atomic<pid_t> pid{-1};
  Outcome outcome = Outcome::Unavailable;
  char pin[kPinRoom];
  PinBuffer buffer{pin, sizeof pin, 0, false};
  ~Question() { wipeMemory(pin, sizeof pin); }
};

// Asks one question (steps, on a dialog set up with the time-out) on a thread of its own
// through the kit's bounded call; a program still open a moment after the time-out (it
// ignores it, or refused it) is killed, and the question ends as timed out.
std::shared_ptr<Question> ask(const std::string& title, const std::string& description, int seconds,
                              std::function<gpg_error_t(Dialog&, Question&)> steps) {
  auto question = std::make_shared<Question>();
  if (seconds < 1) seconds = 1;
  bool answered = adapterkit::runBounded(
      std::chrono::seconds(seconds + kGraceSeconds),
      [question, title, description, seconds, steps] {
        Dialog dialog;
        if (!dialog.ready()) return;
        question->pid = dialog.pid();
        gpg_error_t err = dialog.setUp(title, description, seconds) ? steps(dialog, *question)
                                                                    : gpg_error(GPG_ERR_GENERAL);
        question->outcome = fromError(err);
      },
      [question] {
        pid_t pid = question->pid;
        if (pid > 0) kill(pid, SIGKILL);  // the program we started, by its pid
      });
  if (answered) return question;
  // Timed out: the thread may still be writing into its question, so this answer is another.
  auto timedOut = std::make_shared<Question>();
  timedOut->outcome = Outcome::TimedOut;
  return timedOut;
}

}  // namespace

Outcome confirm(const std::string& title, const std::string& description, const char* okLabel,
                const char* cancelLabel, const char* notOkLabel, int seconds) {
  std::string ok = okLabel != nullptr ? okLabel : "", cancel = cancelLabel != nullptr ? cancelLabel : "",
              notOk = notOkLabel != nullptr ? notOkLabel : "";
  return ask(title, description, seconds, [ok, cancel, notOk](Dialog& dialog, Question&) {
           if (!ok.empty()) dialog.command("SETOK " + escape(ok));
           if (!cancel.empty()) dialog.command("SETCANCEL " + escape(cancel));
           if (!notOk.empty()) dialog.command("SETNOTOK " + escape(notOk));
           return dialog.command("CONFIRM");
         })->outcome;
}

Outcome getPin(const std::string& title, const std::string& description, const std::string& errorText,
               char* pin, size_t capacity, int seconds) {
  if (pin == nullptr || capacity == 0) return Outcome::Unavailable;
  wipeMemory(pin, capacity);
  auto question = ask(title, description, seconds, [errorText](Dialog& dialog, Question& q) {
    dialog.command("SETPROMPT PIN:");
    if (!errorText.empty()) dialog.command("SETERROR " + escape(errorText));
    return dialog.collect("GETPIN", &q.buffer);
  });
  Outcome outcome = question->outcome;
  if (outcome == Outcome::Ok && (question->buffer.overflow || question->buffer.used == 0 ||
                                 question->buffer.used >= capacity))
    outcome = Outcome::Cancelled;
  if (outcome == Outcome::Ok) memcpy(pin, question->pin, question->buffer.used);
  return outcome;
}

}  // namespace pinentry
