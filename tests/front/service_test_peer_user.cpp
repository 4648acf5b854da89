// Only the service's own user reaches it: a connection whose client socket belongs to
// another local user is closed at accept, on every listener, with an error line.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support/OtherUser.h"
#include "support/ServiceHarness.h"

namespace {

// A plain curl run, so the same command can be given to the other user.
std::string curlCommand(int port, bool ipv6) {
  std::string field = "Parameter=" + noxtest::base64Encode(noxtest::echoJson());
  std::string resolve = "localhost:" + std::to_string(port) + ":" + (ipv6 ? "[::1]" : "127.0.0.1");
  return "curl -sS -k --max-time 20 -o /dev/null -w '%{http_code}' --resolve " + noxtest::shellQuote(resolve) +
         " -H 'Origin: https://a.test' --data-urlencode " + noxtest::shellQuote(field) +
         " https://localhost:" + std::to_string(port) + "/";
}

TEST(PeerUser, AnotherUsersConnectionIsClosedAtAccept) {
  std::string why;
  ASSERT_FALSE(noxtest::otherUserPrefix(&why).empty()) << why;

  noxtest::Service service;
  ASSERT_TRUE(service.start()) << service.error() << service.output();

  struct Case {
    int port;
    bool ipv6;
  };
  const Case cases[] = {{noxtest::kPorts[0], false}, {noxtest::kPorts[1], true}, {noxtest::kPorts[2], false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.port) + (c.ipv6 ? " [::1]" : " 127.0.0.1"));
    const std::string command = curlCommand(c.port, c.ipv6);

    size_t refusedBefore = service.count("Connection refused: client of user ");
    noxtest::OtherUserRun other = noxtest::runAsOtherUser(command);
    ASSERT_TRUE(other.started) << other.why;
    EXPECT_NE(other.status, 0) << "the other user got an answer: " << other.output;
    EXPECT_EQ(other.output.find("200"), std::string::npos) << other.output;
    // The refusal line may be held back by the once-a-second rule; the first one shows.
    if (refusedBefore == 0) {
      EXPECT_TRUE(service.waitFor("Connection refused: client of user ", 20)) << service.output();
    }

    // The same command as the service's user is answered.
    FILE* own = popen((command + " 2>&1").c_str(), "r");
    ASSERT_NE(own, nullptr);
    char buffer[256] = {0};
    size_t n = fread(buffer, 1, sizeof buffer - 1, own);
    int status = pclose(own);
    EXPECT_EQ(std::string(buffer, n), "200");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_TRUE(service.running()) << service.output();
  EXPECT_EQ(service.stop(), 0);
}

}  // namespace
