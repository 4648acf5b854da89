// Pinentry over libassuan. One program run per question: nothing of the dialog (or the
// PIN) outlives the call.
#include "Pinentry.h"

#include <assuan.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/Wipe.h"

namespace pinentry {

namespace {

// How long past its own time-out a dialog program may take before it is killed.
constexpr int kGraceSeconds = 3;
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
      return Outcome::Denied;
    case GPG_ERR_CANCELED:
    case GPG_ERR_ASS_CANCELED:
    case GPG_ERR_TIMEOUT:
    case GPG_ERR_FULLY_CANCELED:
      return Outcome::Cancelled;
    default:
      return Outcome::Unavailable;
  }
}

// Kills the dialog program (by the pid libassuan started it with) when the time runs out
// before the question was answered; the question then ends as cancelled.
class Watchdog {
 public:
  Watchdog(pid_t pid, int seconds) : thread_([this, pid, seconds] {
    std::unique_lock<std::mutex> hold(lock_);
    if (!finished_.wait_for(hold, std::chrono::seconds(seconds), [this] { return done_; }) && pid > 0) {
      kill(pid, SIGKILL);
      fired_ = true;
    }
  }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> hold(lock_);
      done_ = true;
    }
    finished_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  bool fired() {
    std::lock_guard<std::mutex> hold(lock_);
    return fired_;
  }

 private:
  std::mutex lock_;
  std::condition_variable finished_;
  bool done_ = false;
  bool fired_ = false;
  std::thread thread_;  // last: it starts once the members above exist
};

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
    watchdog_.reset();
    if (ctx_ != nullptr) assuan_release(ctx_);  // closes the pipes and reaps the program
  }
  Dialog(const Dialog&) = delete;
  Dialog& operator=(const Dialog&) = delete;

  bool ready() const { return connected_; }

  gpg_error_t command(const std::string& line) {
    return assuan_transact(ctx_, line.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
  }

  gpg_error_t collect(const char* line, PinBuffer* pin) {
    return assuan_transact(ctx_, line, collectPin, pin, nullptr, nullptr, nullptr, nullptr);
  }

  // Title, description and time-out; optional settings a program may not know are ignored.
  // The watchdog starts first, so a program that hangs on any command is ended too.
  bool setUp(const std::string& title, const std::string& description, int seconds) {
    if (seconds < 1) seconds = 1;
    watchdog_.reset(new Watchdog(assuan_get_pid(ctx_), seconds + kGraceSeconds));
    // A program without the time-out would wait for ever: the watchdog keeps the limit itself.
    if (command("SETTIMEOUT " + std::to_string(seconds)) != 0)
      watchdog_.reset(new Watchdog(assuan_get_pid(ctx_), seconds));
    if (command("SETDESC " + escape(description)) != 0) return false;
    command("SETTITLE " + escape(title));
    return true;
  }

  // An error after the watchdog ended the program is the dialog timing out.
  Outcome outcome(gpg_error_t err) {
    Outcome result = fromError(err);
    return result == Outcome::Unavailable && watchdog_ && watchdog_->fired() ? Outcome::Cancelled : result;
  }

 private:
  assuan_context_t ctx_ = nullptr;
  bool connected_ = false;
  std::unique_ptr<Watchdog> watchdog_;
};

}  // namespace

Outcome confirm(const std::string& title, const std::string& description, const char* okLabel,
                const char* cancelLabel, int seconds) {
  Dialog dialog;
  if (!dialog.ready()) return Outcome::Unavailable;
  if (!dialog.setUp(title, description, seconds)) return dialog.outcome(GPG_ERR_GENERAL);
  if (okLabel != nullptr) dialog.command(std::string("SETOK ") + escape(okLabel));
  if (cancelLabel != nullptr) dialog.command(std::string("SETCANCEL ") + escape(cancelLabel));
  return dialog.outcome(dialog.command("CONFIRM"));
}

Outcome getPin(const std::string& title, const std::string& description, const std::string& errorText,
               char* pin, size_t capacity, int seconds) {
  if (pin == nullptr || capacity == 0) return Outcome::Unavailable;
  wipeMemory(pin, capacity);
  Dialog dialog;
  if (!dialog.ready()) return Outcome::Unavailable;
  if (!dialog.setUp(title, description, seconds)) return dialog.outcome(GPG_ERR_GENERAL);
  dialog.command("SETPROMPT PIN:");
  if (!errorText.empty()) dialog.command("SETERROR " + escape(errorText));
  PinBuffer buffer{pin, capacity, 0, false};
  Outcome outcome = dialog.outcome(dialog.collect("GETPIN", &buffer));
  if (outcome == Outcome::Ok && (buffer.overflow || buffer.used == 0)) outcome = Outcome::Cancelled;
  if (outcome != Outcome::Ok) wipeMemory(pin, capacity);
  return outcome;
}

}  // namespace pinentry
