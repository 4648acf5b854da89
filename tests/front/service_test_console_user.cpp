// The console-user check: when the console passes to someone else (or nobody can be read),
// the page gets 61012 and the service shuts itself down with status 0. The seat is read
// again only when logind's seat monitor reports a change (the stand-in reports every
// change of the seat file unless the test names its own events directory), or at every
// request when no monitor can be made.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/ServiceHarness.h"

namespace {

struct Case {
  const char* name;
  bool removeSeat;  // false: the seat passes to another uid
  bool monitor;     // false: no seat monitor, the seat is read at every request
};

class SeatFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nox_seat_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    seatDir_ = pattern;
    seatFile_ = seatDir_ + "/seat";
    writeSeat(static_cast<long>(getuid()));
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(seatDir_, ignored);
  }
  void writeSeat(long owner) { std::ofstream(seatFile_) << owner << "\n"; }
  std::vector<std::string> seatEnvironment() const {
    return {std::string("LD_PRELOAD=") + NOX_TEST_SEAT_LIB, "NOX_TEST_SEAT_FILE=" + seatFile_};
  }

  std::string seatDir_, seatFile_;
};

class ConsoleUser : public SeatFile, public ::testing::WithParamInterface<Case> {};

TEST_P(ConsoleUser, ChangeAnswers61012AndEndsTheService) {
  noxtest::ServiceOptions options;
  options.environment = seatEnvironment();
  if (!GetParam().monitor) options.environment.push_back("NOX_TEST_SEAT_MONITOR=off");
  noxtest::Service service(options);
  ASSERT_TRUE(service.start()) << service.error() << service.output();

  noxtest::Answer same = noxtest::postForm(noxtest::kPorts[0], "", "https://a.test", "", noxtest::echoJson());
  ASSERT_TRUE(same.ok()) << same.error;
  EXPECT_EQ(same.values()["result"], "0") << same.body << service.output();

  if (GetParam().removeSeat) {
    std::remove(seatFile_.c_str());
  } else {
    writeSeat(static_cast<long>(getuid()) + 1000);
  }
  noxtest::Answer changed = noxtest::postForm(noxtest::kPorts[1], "", "https://a.test", "", noxtest::echoJson());
  ASSERT_TRUE(changed.ok()) << changed.error << service.output();
  EXPECT_EQ(changed.values(), (std::map<std::string, std::string>{{"result", "61012"}})) << changed.body;

  EXPECT_EQ(service.waitExit(20), 0) << service.output();
  std::string out = service.output();
  size_t warning = out.find("Not Same User!!Halvorant will turn off");
  ASSERT_NE(warning, std::string::npos) << out;
  EXPECT_LT(warning, out.find("[HalvorantFinal] Ready to suicide"));
  EXPECT_NE(out.find(GetParam().removeSeat ? "Check_User: Unknown" : "Check_User: " + std::to_string(getuid() + 1000)),
            std::string::npos);
}

// Out of descriptors, memory or time the seat cannot be read; that is no change of user:
// the request is refused with 61012 and the service stays for the next one.
TEST_F(SeatFile, ResourceErrorsRefuseTheRequestButKeepTheService) {
  noxtest::ServiceOptions options;
  options.environment = seatEnvironment();
  noxtest::Service service(options);
  ASSERT_TRUE(service.start()) << service.error() << service.output();

  for (long code : {-EMFILE, -ENFILE, -ENOMEM, -EAGAIN}) {
    SCOPED_TRACE(code);
    writeSeat(code);
    noxtest::Answer busy = noxtest::postForm(noxtest::kPorts[0], "", "https://a.test", "", noxtest::echoJson());
    ASSERT_TRUE(busy.ok()) << busy.error << service.output();
    EXPECT_EQ(busy.values(), (std::map<std::string, std::string>{{"result", "61012"}})) << busy.body;

    writeSeat(static_cast<long>(getuid()));
    noxtest::Answer again = noxtest::postForm(noxtest::kPorts[1], "", "https://a.test", "", noxtest::echoJson());
    ASSERT_TRUE(again.ok()) << again.error << service.output();
    EXPECT_EQ(again.values()["result"], "0") << again.body << service.output();
  }
  EXPECT_TRUE(service.running());
  EXPECT_EQ(service.count("Not Same User!!Halvorant will turn off"), 0u) << service.output();
  EXPECT_EQ(service.count("Console user unreadable for want of system resources: request refused"), 4u);
  EXPECT_EQ(service.stop(), 0);
}

// The seat changes behind the monitor's back and is reported separately: the reading is
// kept until the report, then read once more; a reading that failed for want of
// resources is never kept.
TEST_F(SeatFile, ReadingIsKeptUntilLogindReportsAChange) {
  const std::string events = seatDir_ + "/events";
  ASSERT_EQ(mkdir(events.c_str(), 0700), 0);
  int reports = 0;
  auto report = [&] { std::ofstream(events + "/" + std::to_string(++reports)) << "changed\n"; };
  noxtest::ServiceOptions options;
  options.environment = seatEnvironment();
  options.environment.push_back("NOX_TEST_SEAT_EVENTS=" + events);
  noxtest::Service service(options);
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  auto post = [&](int port) { return noxtest::postForm(port, "", "https://a.test", "", noxtest::echoJson()); };
  const std::map<std::string, std::string> refused{{"result", "61012"}};

  noxtest::Answer a = post(noxtest::kPorts[0]);
  ASSERT_TRUE(a.ok()) << a.error;
  EXPECT_EQ(a.values()["result"], "0") << a.body << service.output();

  writeSeat(static_cast<long>(getuid()) + 1000);  // not reported yet: the kept reading stands
  a = post(noxtest::kPorts[1]);
  ASSERT_TRUE(a.ok()) << a.error;
  EXPECT_EQ(a.values()["result"], "0") << a.body << service.output();

  writeSeat(-EMFILE);
  report();  // read again: out of descriptors refuses this request only
  a = post(noxtest::kPorts[2]);
  ASSERT_TRUE(a.ok()) << a.error << service.output();
  EXPECT_EQ(a.values(), refused) << a.body;

  writeSeat(static_cast<long>(getuid()));  // unreported, yet read: the failed reading was not kept
  a = post(noxtest::kPorts[0]);
  ASSERT_TRUE(a.ok()) << a.error << service.output();
  EXPECT_EQ(a.values()["result"], "0") << a.body << service.output();
  EXPECT_TRUE(service.running());

  writeSeat(static_cast<long>(getuid()) + 1000);
  a = post(noxtest::kPorts[1]);
  ASSERT_TRUE(a.ok()) << a.error;
  EXPECT_EQ(a.values()["result"], "0") << a.body << service.output();
  report();
  a = post(noxtest::kPorts[2]);
  ASSERT_TRUE(a.ok()) << a.error << service.output();
  EXPECT_EQ(a.values(), refused) << a.body;

  EXPECT_EQ(service.waitExit(20), 0) << service.output();
  EXPECT_EQ(service.count("Console user unreadable for want of system resources: request refused"), 1u)
      << service.output();
  EXPECT_EQ(service.count("Not Same User!!Halvorant will turn off"), 1u) << service.output();
  EXPECT_NE(service.output().find("Check_User: " + std::to_string(getuid() + 1000)), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Changes, ConsoleUser,
                         ::testing::Values(Case{"OtherUser", false, true}, Case{"SeatGone", true, true},
                                           Case{"OtherUserReadEveryTime", false, false},
                                           Case{"SeatGoneReadEveryTime", true, false}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
