// A pinentry stand-in for tests: speaks the Assuan server side on stdin/stdout, answers
// from a script file and records what it was asked, as the person would have seen it.
//
// $NOX_TEST_PINENTRY_DIR/script holds lines:
//   "confirm=ok|cancel|notok|timeout"  the button a CONFIRM gets: OK, the cancel button (or
//                                      the window closed), the third button (SETNOTOK), none
//   "pin=<PIN>|@cancel|@timeout"       what a GETPIN gets
//   "delay=<seconds>"                  the person takes that long to answer (this program
//                                      ignores its time-out meanwhile)
//   "settimeout=refuse"                a program that knows no time-out
// Every dialog appends to $NOX_TEST_PINENTRY_DIR/log a line per command: "TIMEOUT <seconds>",
// "TITLE <text>", "DESC <description>" (its lines as they are), "PROMPT <text>", "ERROR <text>",
// "OK <label>", "CANCEL <label>", "NOTOK <label>", "CONFIRM", "GETPIN"; and "STACKED" when it
// starts while another of its kind is still open (two dialogs at once on the screen).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <string>

namespace {

std::string dir() {
  const char* d = getenv("NOX_TEST_PINENTRY_DIR");
  return d != nullptr ? d : ".";
}

std::string scripted(const std::string& key, const std::string& fallback) {
  std::ifstream in(dir() + "/script");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  return fallback;
}

void record(const std::string& line) {
  std::ofstream out(dir() + "/log", std::ios::app);
  out << line << "\n";
}

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

void reply(const std::string& line) {
  std::cout << line << "\n" << std::flush;
}

void personTakesTime() {
  for (unsigned left = static_cast<unsigned>(std::stoul("0" + scripted("delay", "0"))); left > 0;) left = sleep(left);
}

const char* const kCancelled = "ERR 83886179 Operation cancelled <Pinentry>";
const char* const kNotConfirmed = "ERR 83886194 Not confirmed <Pinentry>";
const char* const kTimedOut = "ERR 83886142 Timeout <Pinentry>";

// Marks this dialog open while it lives; a second one started meanwhile is stacked.
class OnScreen {
 public:
  OnScreen() : path_(dir() + "/open") {
    int fd = open(path_.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    owner_ = fd >= 0;
    if (owner_) close(fd);
    else record("STACKED");
  }
  ~OnScreen() {
    if (owner_) unlink(path_.c_str());
  }

 private:
  std::string path_;
  bool owner_;
};

}  // namespace

int main() {
  OnScreen screen;
  // Commands recorded with their argument unescaped, under the name a test reads.
  const std::map<std::string, std::string> recorded = {{"SETDESC", "DESC"},     {"SETERROR", "ERROR"},
                                                        {"SETTITLE", "TITLE"},   {"SETPROMPT", "PROMPT"},
                                                        {"SETOK", "OK"},         {"SETCANCEL", "CANCEL"},
                                                        {"SETNOTOK", "NOTOK"}};
  reply("OK Pleased to meet you");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string command = line.substr(0, line.find(' '));
    std::string argument = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    auto named = recorded.find(command);
    if (command == "SETTIMEOUT") {
      record("TIMEOUT " + argument);
      reply(scripted("settimeout", "ok") == "refuse" ? "ERR 536871187 Unknown IPC command <User defined source 1>"
                                                      : "OK");
    } else if (named != recorded.end()) {
      record(named->second + " " + unescape(argument));
      reply("OK");
    } else if (command == "CONFIRM") {
      record("CONFIRM");
      personTakesTime();
      std::string answer = scripted("confirm", "ok");
      reply(answer == "ok"       ? "OK"
            : answer == "notok"  ? kNotConfirmed
            : answer == "timeout" ? kTimedOut
                                  : kCancelled);
    } else if (command == "GETPIN") {
      record("GETPIN");
      personTakesTime();
      std::string pin = scripted("pin", "@cancel");
      if (pin == "@cancel") {
        reply(kCancelled);
      } else if (pin == "@timeout") {
        reply(kTimedOut);
      } else {
        reply("D " + pin);
        reply("OK");
      }
    } else if (command == "BYE") {
      reply("OK closing connection");
      return 0;
    } else {
      reply("OK");
    }
  }
  return 0;
}
