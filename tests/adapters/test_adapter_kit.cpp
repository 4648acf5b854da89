// The shared error answer and the long-answer buffer of the shipped adapters.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "AdapterKit.h"

namespace {

using adapterkit::ErrorCode;

TEST(AdapterKit, ErrorAnswerHasTheFixedCodesAndEscapesTheMessage) {
  struct Case {
    ErrorCode code;
    const char* message;
    const char* expected;
  };
  const Case cases[] = {
      {ErrorCode::NoToken, "no token", R"({"error":{"code":"NO_TOKEN","message":"no token"}})"},
      {ErrorCode::NotFound, "", R"({"error":{"code":"NOT_FOUND","message":""}})"},
      {ErrorCode::PinIncorrect, nullptr, R"({"error":{"code":"PIN_INCORRECT","message":""}})"},
      {ErrorCode::PinLocked, "a\"b\\c", R"({"error":{"code":"PIN_LOCKED","message":"a\"b\\c"}})"},
      {ErrorCode::UserCancelled, "line\nnext\t\x01", R"({"error":{"code":"USER_CANCELLED","message":"line\u000anext\u0009\u0001"}})"},
      {ErrorCode::ConsentDenied, "caf\xc3\xa9", "{\"error\":{\"code\":\"CONSENT_DENIED\",\"message\":\"caf\xc3\xa9\"}}"},
      {ErrorCode::BadInput, "x", R"({"error":{"code":"BAD_INPUT","message":"x"}})"},
      {ErrorCode::TokenError, "x", R"({"error":{"code":"TOKEN_ERROR","message":"x"}})"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(adapterkit::error(c.code, c.message), c.expected);
    EXPECT_EQ(adapterkit::errorJson(c.code, c.message), c.expected);
  }
}

TEST(AdapterKit, LongAnswersComeBackWholeAndShortOnesStillUseTheFixedBuffer) {
  for (size_t size : {adapterkit::kAnswerSize - 1, adapterkit::kAnswerSize, 3 * adapterkit::kAnswerSize, size_t{10}}) {
    std::string text(size, 'x');
    text.back() = 'y';
    EXPECT_EQ(std::string(adapterkit::answerWhole(text)), text) << size;
  }
  // A second thread has its own buffer: its long answer does not overwrite this one's.
  std::string mine(2 * adapterkit::kAnswerSize, 'm');
  const char* kept = adapterkit::answerWhole(mine);
  std::thread other([] {
    std::string theirs(5 * adapterkit::kAnswerSize, 't');
    EXPECT_EQ(std::string(adapterkit::answerWhole(theirs)), theirs);
  });
  other.join();
  EXPECT_EQ(std::string(kept), mine);
}

}  // namespace
