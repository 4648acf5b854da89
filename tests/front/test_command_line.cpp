// Command-line answers, the certificate-expiry decision and the console-colour choice.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "front/CommandLine.h"
#include "front/Key.h"
#include "support/DataHome.h"
#include "util/Tool.h"

namespace {

std::string readAll(FILE* file) {
  std::string text;
  rewind(file);
  char buffer[1024];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  return text;
}

TEST(CommandLine, Table) {
  noxtest::DataHome::path();  // --version reads this user's certificate: a private one here
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out;  // expected in stdout ("" : stdout stays empty)
    const char* err;  // expected in stderr ("" : stderr stays empty)
  };
  const Case cases[] = {
      {{}, -1, "", ""},
      {{"--version"}, 0, "NoxHalvorant 1.0.23.0510\n", ""},
      {{"--help"}, 0, "Usage: NoxHalvorant [--idle-exit=SECONDS | --version | --help | --trust | --untrust]", ""},
      {{"-h"}, 0, "Usage: NoxHalvorant", ""},
      {{"--bogus"}, 2, "", "unknown argument '--bogus'"},
      {{"--version", "--port=1"}, 2, "", "unknown argument '--port=1'"},
      {{"--version", "--help"}, 2, "", "Usage: NoxHalvorant"},
      {{"--trust", "--untrust"}, 2, "", "Usage: NoxHalvorant"},
      {{""}, 2, "", "unknown argument ''"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "NoxHalvorant");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    ASSERT_TRUE(out && err);
    int status = handleCommandLine(static_cast<int>(args.size()), argv.data(), out, err);
    std::string outText = readAll(out), errText = readAll(err);
    fclose(out);
    fclose(err);
    std::string name = args.size() > 1 ? args[1] : "(none)";
    EXPECT_EQ(status, c.status) << name;
    if (*c.out == '\0') {
      EXPECT_EQ(outText, "") << name;
    } else {
      EXPECT_NE(outText.find(c.out), std::string::npos) << name << ": " << outText;
    }
    if (*c.err == '\0') {
      EXPECT_EQ(errText, "") << name;
    } else {
      EXPECT_NE(errText.find(c.err), std::string::npos) << name << ": " << errText;
    }
    if (c.status == 2) {
      EXPECT_NE(errText.find("Usage: NoxHalvorant"), std::string::npos) << name;
    }
  }
}

// --idle-exit=SECONDS starts the service with its idle exit; anything but 1 to a year of
// whole seconds is refused before anything starts.
TEST(CommandLine, IdleExitSeconds) {
  struct Case {
    const char* arg;
    int status;
    long seconds;
  };
  const Case cases[] = {
      {"--idle-exit=600", -1, 600},
      {"--idle-exit=1", -1, 1},
      {"--idle-exit=31536000", -1, 31536000},
      {"--idle-exit=31536001", 2, 0},
      {"--idle-exit=99999999999999999999999", 2, 0},
      {"--idle-exit=0", 2, 0},
      {"--idle-exit=", 2, 0},
      {"--idle-exit=-5", 2, 0},
      {"--idle-exit=+5", 2, 0},
      {"--idle-exit=10s", 2, 0},
      {"--idle-exit= 10", 2, 0},
  };
  for (const Case& c : cases) {
    std::string arg0 = "NoxHalvorant", arg1 = c.arg;
    char* argv[] = {&arg0[0], &arg1[0], nullptr};
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    ASSERT_TRUE(out && err);
    RunOptions run;
    EXPECT_EQ(handleCommandLine(2, argv, out, err, &run), c.status) << c.arg;
    EXPECT_EQ(run.idleExitSeconds, c.seconds) << c.arg;
    EXPECT_EQ(readAll(out), "") << c.arg;
    const std::string errText = readAll(err);
    if (c.status == 2) {
      EXPECT_NE(errText.find(std::string("NoxHalvorant: ") + c.arg + ": SECONDS must be a whole number from 1 to "
                             "31536000\n\nUsage: NoxHalvorant"),
                std::string::npos)
          << errText;
    } else {
      EXPECT_EQ(errText, "") << c.arg;
    }
    fclose(out);
    fclose(err);
  }
  // Only on its own: with another argument it is a usage error like any pair.
  std::string arg0 = "NoxHalvorant", arg1 = "--idle-exit=5", arg2 = "--version";
  char* argv[] = {&arg0[0], &arg1[0], &arg2[0], nullptr};
  FILE* err = tmpfile();
  ASSERT_TRUE(err);
  EXPECT_EQ(handleCommandLine(3, argv, stdout, err), 2);
  fclose(err);
}

std::string version() {
  char arg0[] = "NoxHalvorant", arg1[] = "--version";
  char* argv[] = {arg0, arg1, nullptr};
  FILE* out = tmpfile();
  if (out == nullptr || handleCommandLine(2, argv, out, stderr) != 0) return "failed";
  std::string text = readAll(out);
  fclose(out);
  return text;
}

TEST(CommandLine, VersionNamesThisUsersCertificate) {
  const std::string dir = noxtest::dataDirectory();
  EXPECT_NE(version().find("Certificate: none yet for this user (the first start makes it in " + dir + ")\n"),
            std::string::npos)
      << version();

  ASSERT_TRUE(prepareCredentials(dir.c_str(), time(nullptr), nullptr, nullptr));
  discardCredentials();
  time_t expiry = 0;
  ASSERT_TRUE(certificateExpiry(&expiry));
  EXPECT_GT(expiry, time(nullptr));
  char date[64];
  formatExpiry(date, sizeof date, expiry);
  std::string text = version();
  EXPECT_NE(text.find(std::string("Certificate: localhost, expires ") + date + "\nCA: " + dir + "/NoxHalvorant-CA.pem\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Build: "), std::string::npos) << text;
}

TEST(CertificateExpiry, StateAndDays) {
  const time_t now = 1800000000;
  const long day = 86400;
  struct Case {
    time_t expiry;
    ExpiryState state;
    long days;
  };
  const Case cases[] = {
      {now + 365 * day, ExpiryState::Valid, 365},
      {now + 30 * day + 1, ExpiryState::Valid, 30},
      {now + 30 * day, ExpiryState::Soon, 30},
      {now + day - 1, ExpiryState::Soon, 0},
      {now + 1, ExpiryState::Soon, 0},
      {now, ExpiryState::Expired, 0},
      {now - 1, ExpiryState::Expired, -1},
      {now - 3 * day, ExpiryState::Expired, -3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(expiryState(c.expiry, now), c.state) << (c.expiry - now);
    EXPECT_EQ(daysLeft(c.expiry, now), c.days) << (c.expiry - now);
  }
  char text[64];
  formatExpiry(text, sizeof text, 0);
  EXPECT_STREQ(text, "1970-01-01 00:00:00 UTC");
}

TEST(ConsoleColour, OnlyOnATerminalWithoutNoColor) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  char fileName[] = "/tmp/nox_colour_XXXXXX";
  int file = mkstemp(fileName);
  ASSERT_GE(file, 0);
  unlink(fileName);
  struct Case {
    int fd;
    const char* noColor;
    bool colour;
  };
  const Case cases[] = {
      {slave, nullptr, true}, {slave, "", true},       {slave, "1", false}, {slave, "0", false},
      {pipeFds[1], nullptr, false}, {file, nullptr, false}, {-1, nullptr, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(consoleColourWanted(c.fd, c.noColor), c.colour) << c.fd << " " << (c.noColor ? c.noColor : "unset");
  close(master);
  close(slave);
  close(pipeFds[0]);
  close(pipeFds[1]);
  close(file);
}

}  // namespace
