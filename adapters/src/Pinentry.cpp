// Pinentry over libassuan. One program run per question: nothing of the dialog (or the
// PIN) outlives the call.
#include "Pinentry.h"

#include <assuan.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace pinentry {

namespace {

// Seconds the dialog waits for the person; then it counts as cancelled.
constexpr int kDialogTimeoutSeconds = 300;
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
    if (ctx_ != nullptr) assuan_release(ctx_);
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
  bool setUp(const std::string& title, const std::string& description) {
    if (command("SETDESC " + escape(description)) != 0) return false;
    command("SETTITLE " + escape(title));
    command("SETTIMEOUT " + std::to_string(kDialogTimeoutSeconds));
    return true;
  }

 private:
  assuan_context_t ctx_ = nullptr;
  bool connected_ = false;
};

}  // namespace

void wipe(void* data, size_t n) {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
  while (n-- > 0) *p++ = 0;
}

Outcome confirm(const std::string& title, const std::string& description, const char* okLabel,
                const char* cancelLabel) {
  Dialog dialog;
  if (!dialog.ready() || !dialog.setUp(title, description)) return Outcome::Unavailable;
  if (okLabel != nullptr) dialog.command(std::string("SETOK ") + escape(okLabel));
  if (cancelLabel != nullptr) dialog.command(std::string("SETCANCEL ") + escape(cancelLabel));
  return fromError(dialog.command("CONFIRM"));
}

Outcome getPin(const std::string& title, const std::string& description, const std::string& errorText,
               char* pin, size_t capacity) {
  if (pin == nullptr || capacity == 0) return Outcome::Unavailable;
  wipe(pin, capacity);
  Dialog dialog;
  if (!dialog.ready() || !dialog.setUp(title, description)) return Outcome::Unavailable;
  dialog.command("SETPROMPT PIN:");
  if (!errorText.empty()) dialog.command("SETERROR " + escape(errorText));
  PinBuffer buffer{pin, capacity, 0, false};
  Outcome outcome = fromError(dialog.collect("GETPIN", &buffer));
  if (outcome == Outcome::Ok && (buffer.overflow || buffer.used == 0)) outcome = Outcome::Cancelled;
  if (outcome != Outcome::Ok) wipe(pin, capacity);
  return outcome;
}

}  // namespace pinentry
