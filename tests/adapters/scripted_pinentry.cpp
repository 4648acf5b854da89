// A pinentry stand-in for tests: speaks the Assuan server side on stdin/stdout, answers
// from a script file and records what it was asked.
//
// $NOX_TEST_PINENTRY_DIR/script holds lines "confirm=ok|no|cancel", "pin=<PIN>|@cancel" and
// optionally "delay=<seconds>" (the person takes that long to enter the PIN, and this
// program ignores its time-out meanwhile) and "settimeout=refuse" (a program that knows no
// time-out); every dialog appends to $NOX_TEST_PINENTRY_DIR/log lines "TIMEOUT <seconds>",
// "DESC <description>", "ERROR <text>", "CONFIRM" and "GETPIN".
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include <unistd.h>

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

const char* const kCancelled = "ERR 83886179 Operation cancelled <Pinentry>";
const char* const kNotConfirmed = "ERR 83886194 Not confirmed <Pinentry>";

}  // namespace

int main() {
  reply("OK Pleased to meet you");
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string command = line.substr(0, line.find(' '));
    std::string argument = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "SETTIMEOUT") {
      record("TIMEOUT " + argument);
      reply(scripted("settimeout", "ok") == "refuse" ? "ERR 536871187 Unknown IPC command <User defined source 1>"
                                                      : "OK");
    } else if (command == "SETDESC") {
      record("DESC " + unescape(argument));
      reply("OK");
    } else if (command == "SETERROR") {
      record("ERROR " + unescape(argument));
      reply("OK");
    } else if (command == "CONFIRM") {
      record("CONFIRM");
      std::string answer = scripted("confirm", "ok");
      reply(answer == "ok" ? "OK" : answer == "no" ? kNotConfirmed : kCancelled);
    } else if (command == "GETPIN") {
      record("GETPIN");
      for (unsigned left = static_cast<unsigned>(std::stoul("0" + scripted("delay", "0"))); left > 0;) left = sleep(left);
      std::string pin = scripted("pin", "@cancel");
      if (pin == "@cancel") {
        reply(kCancelled);
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
