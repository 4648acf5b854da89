// An adapter whose code throws, loaded by the real service: each call answers the kit's
// INTERNAL error and the service (and the session) carry on.
#include <gtest/gtest.h>

#include <string>

#include "support/ServiceHarness.h"

namespace {

TEST(AdapterGuard, ThrowingAdapterAnswersInternalAndTheServiceCarriesOn) {
  noxtest::ServiceOptions options;
  options.fixtureDirs.push_back(NOX_ADAPTER_FIXTURES);  // beside the executable as fixtures/
  noxtest::Service service(options);
  ASSERT_TRUE(service.start()) << service.error() << service.output();
  std::string session;
  auto call = [&session](const std::string& function) {
    std::string json = "{\"FunctionName\":\"" + function +
                       "\",\"PathID\":\"none\",\"LibDir\":\"fixtures\",\"ComName\":\"throwing_adapter\","
                       "\"minServerVersion\":\"1.0.0.0\"" +
                       (session.empty() ? "" : ",\"SessionId\":\"" + session + "\"") + "}";
    auto answer = noxtest::decodeAnswer(noxtest::postForm(noxtest::kPorts[0], "", "https://a.test", "", json).body);
    if (session.empty()) session = answer["SessionID"];
    return answer["result"];
  };
  const std::string internal = "{\"error\":{\"code\":\"INTERNAL\",\"message\":\"The adapter failed and did nothing";
  for (const char* function : {"BadAlloc", "NoThread", "Other", "Bounded"}) {
    EXPECT_EQ(call(function).rfind(internal, 0), 0u) << function;
    EXPECT_EQ(call("Fine"), "fine") << "after " << function;  // the same session goes on
  }
  EXPECT_NE(call("Bounded").find("on the worker"), std::string::npos);
  EXPECT_TRUE(service.running());
  EXPECT_EQ(service.stop(), 0) << service.output();
}

}  // namespace
