// /tmp/NoxHalvorant is a place any local user can take first. A foreign, open or linked
// directory is used for nothing (no settings, no log, no adapter copies) and the service
// still serves; settings and log files are never read or written through links, FIFOs or
// devices. Page text reaches the console and the log with its controls shown, not obeyed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>

#include "support/OtherUser.h"
#include "support/ServiceHarness.h"

namespace {

namespace fs = std::filesystem;
const std::string kDir = noxtest::kWorkDir;
const std::string kIni = kDir + "/NoxHalvorant.ini";
const char kVictimText[] = "# the user's own file\n";

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The dated names the log gets today and tomorrow (a run across midnight).
std::vector<std::string> datedNames(const std::string& stem, const std::string& extension) {
  std::vector<std::string> names;
  for (int day = 0; day < 2; ++day) {
    time_t when = time(nullptr) + day * 86400;
    struct tm local;
    localtime_r(&when, &local);
    char date[16];
    strftime(date, sizeof date, "%Y%m%d", &local);
    names.push_back(stem + "_" + date + extension);
  }
  return names;
}

std::string settings(const std::string& logFile) {
  return "[NoxHalvorant]\nLog File=" + logFile + "\nLog Level=5\n";
}

class WorkDir : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.takeLock()) << "service lock";
    char pattern[] = "/tmp/nox_workdir_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    scratch_ = pattern;
    victim_ = scratch_ + "/victim";
    std::ofstream(victim_) << kVictimText;
    removeWorkDir();
    ASSERT_FALSE(fs::exists(fs::symlink_status(kDir))) << kDir << " could not be cleared";
  }
  void TearDown() override {
    service_.stop(10);
    removeWorkDir();
    mkdir(kDir.c_str(), 0700);  // leave it as the other service tests expect it
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }
  void removeWorkDir() {
    std::error_code ignored;
    if (fs::is_symlink(fs::symlink_status(kDir))) {
      fs::remove(kDir, ignored);
      return;
    }
    fs::remove_all(kDir, ignored);
    if (fs::exists(kDir)) noxtest::runAsOtherUser("rm -rf " + kDir);  // planted by the other user
  }
  static void makePrivateDir() { ASSERT_EQ(mkdir(kDir.c_str(), 0700), 0); }
  static void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

  // Starts the service, checks that it serves an adapter call, and returns its output.
  std::string startAndServe() {
    EXPECT_TRUE(service_.start()) << service_.error() << service_.output();
    noxtest::Answer a = noxtest::postForm(noxtest::kPorts[0], "", "https://a.test", "", noxtest::echoJson());
    EXPECT_TRUE(a.ok()) << a.error << service_.output();
    EXPECT_EQ(a.values()["result"], "0") << a.body << service_.output();
    return service_.output();
  }

  noxtest::Service service_;
  std::string scratch_, victim_;
};

const char kForeignLine[] = "Work directory: /tmp/NoxHalvorant is a link, belongs to another user or can be written by others";

// Every way the directory can be taken: the service ignores it and says so once.
TEST_F(WorkDir, ForeignOpenOrLinkedDirectoryIsUsedForNothing) {
  struct Case {
    const char* name;
    std::function<void(const std::string& victim, const std::string& scratch)> plant;
  };
  const Case cases[] = {
      {"another user's directory, open to all, with settings and a log link",
       [](const std::string& victim, const std::string&) {
         std::string log = kDir + "/stolen.log";
         std::string command = "umask 0 && mkdir -m 0777 " + kDir + " && printf '%s' " +
                               noxtest::shellQuote(settings(log)) + " > " + kIni;
         for (const std::string& name : datedNames(kDir + "/stolen", ".log"))
           command += " && ln -s " + victim + " " + name;
         noxtest::OtherUserRun run = noxtest::runAsOtherUser(command);
         ASSERT_TRUE(run.started) << run.why;
         ASSERT_EQ(run.status, 0) << run.output;
         struct stat st;
         ASSERT_EQ(lstat(kDir.c_str(), &st), 0);
         ASSERT_NE(st.st_uid, geteuid());
       }},
      {"own directory writable by everybody",
       [](const std::string&, const std::string&) {
         ASSERT_EQ(mkdir(kDir.c_str(), 0700), 0);
         ASSERT_EQ(chmod(kDir.c_str(), 0777), 0);
         write(kIni, settings(kDir + "/stolen.log"));
       }},
      {"link to a directory of the user",
       [](const std::string&, const std::string& scratch) {
         std::string target = scratch + "/linked";
         ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
         write(target + "/NoxHalvorant.ini", settings(target + "/stolen.log"));
         ASSERT_EQ(symlink(target.c_str(), kDir.c_str()), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    removeWorkDir();
    c.plant(victim_, scratch_);
    if (HasFatalFailure()) return;
    std::set<std::string> before;
    for (const auto& e : fs::directory_iterator(kDir)) before.insert(e.path().filename());

    std::string out = startAndServe();
    EXPECT_EQ(service_.count(kForeignLine), 1u) << out;
    EXPECT_NE(out.find("Log state: Disable"), std::string::npos) << out;
    EXPECT_EQ(out.find("Log state: Enable"), std::string::npos) << out;
    EXPECT_EQ(service_.stop(), 0) << out;

    std::set<std::string> after;
    for (const auto& e : fs::directory_iterator(kDir)) after.insert(e.path().filename());
    EXPECT_EQ(after, before) << "the service wrote into the foreign directory";
    EXPECT_EQ(readAll(victim_), kVictimText);
    if (fs::exists(scratch_ + "/linked")) {
      EXPECT_FALSE(fs::exists(scratch_ + "/linked/" + datedNames("stolen", ".log")[0]));
    }
  }
}

// In a private directory, settings that are not a plain file of the user are not read
// (start-up neither blocks nor reads without end), and the log is never written through a
// link or into a directory others may write.
TEST_F(WorkDir, SettingsAndLogOnlyAsPlainFilesOfTheUser) {
  const std::string open = scratch_ + "/open";
  struct Case {
    const char* name;
    std::function<void(const std::string& victim, const std::string& open)> plant;
    bool logOn;
  };
  const Case cases[] = {
      {"settings are a FIFO", [](const std::string&, const std::string&) { ASSERT_EQ(mkfifo(kIni.c_str(), 0600), 0); },
       false},
      {"settings link to /dev/zero",
       [](const std::string&, const std::string&) { ASSERT_EQ(symlink("/dev/zero", kIni.c_str()), 0); }, false},
      {"settings link to a plain file",
       [](const std::string& victim, const std::string&) {
         write(victim + ".ini", settings(kDir + "/service.log"));
         ASSERT_EQ(symlink((victim + ".ini").c_str(), kIni.c_str()), 0);
       },
       false},
      {"dated log file is a link",
       [](const std::string& victim, const std::string&) {
         write(kIni, settings(kDir + "/service.log"));
         for (const std::string& name : datedNames(kDir + "/service", ".log"))
           ASSERT_EQ(symlink(victim.c_str(), name.c_str()), 0);
       },
       true},
      {"log in a directory everybody may write",
       [](const std::string&, const std::string& open) { write(kIni, settings(open + "/service.log")); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    removeWorkDir();
    makePrivateDir();
    std::error_code ignored;
    fs::remove_all(open, ignored);
    ASSERT_EQ(mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(chmod(open.c_str(), 0777), 0);
    c.plant(victim_, open);
    if (HasFatalFailure()) return;

    std::string out = startAndServe();
    EXPECT_EQ(service_.count(kForeignLine), 0u) << out;
    EXPECT_NE(out.find(c.logOn ? "Log state: Enable" : "Log state: Disable"), std::string::npos) << out;
    EXPECT_EQ(service_.stop(), 0) << out;
    EXPECT_EQ(readAll(victim_), kVictimText);
    EXPECT_TRUE(fs::is_empty(open)) << "a log file appeared in the open directory";
  }
}

// A page value with a newline, a forged time stamp and terminal escapes (clipboard write,
// window title) shows up escaped in the console and in the log, never as a line of its own.
TEST_F(WorkDir, PageTextCannotForgeLinesOrSteerTheTerminal) {
  makePrivateDir();
  write(kIni, settings(kDir + "/service.log"));
  // Raw bytes: the parameter reader keeps a value's characters as they come.
  const std::string hostile =
      "x\n2026-01-01 00:00:00.000 [DEBUG] [00001-00001] forged\r\x1b]52;c;ZXZpbA==\x07"
      "\x1b]0;title\x07\x7f\xc2\x9b";
  ASSERT_TRUE(service_.start()) << service_.error() << service_.output();
  noxtest::Answer a = noxtest::postForm(noxtest::kPorts[0], "", "https://a.test", "",
                                        noxtest::echoJson("\"Note\":\"" + hostile + "\""));
  ASSERT_TRUE(a.ok()) << a.error;
  EXPECT_EQ(service_.stop(), 0);

  std::string raw = readAll(service_.dir() + "/service.log");  // the console, colours included
  std::string log;
  for (const std::string& name : datedNames(kDir + "/service", ".log")) log += readAll(name);
  ASSERT_NE(log.find("x\\n2026-01-01"), std::string::npos) << "the value was not logged escaped:\n" << log;
  for (const std::string* text : {&raw, &log}) {
    EXPECT_NE(text->find("\\x1b]52;c;ZXZpbA==\\x07"), std::string::npos) << *text;
    EXPECT_EQ(text->find("\n2026-01-01 00:00:00.000 [DEBUG] [00001-00001] forged"), std::string::npos);
    EXPECT_EQ(text->find("\x1b]"), std::string::npos) << "an OSC sequence reached the output";
    EXPECT_EQ(text->find('\r'), std::string::npos);
    EXPECT_EQ(text->find('\x07'), std::string::npos);
    EXPECT_EQ(text->find('\x7f'), std::string::npos);
    EXPECT_EQ(text->find("\xc2\x9b"), std::string::npos);
  }
  // Only the service's own colour sequences remain on the console.
  std::string stripped = noxtest::plainText(raw);
  EXPECT_EQ(stripped.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
}

}  // namespace
