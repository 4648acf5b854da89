// The adapter kit: the shared error answer, JSON and hexadecimal texts, the long-answer
// buffer, the guard around entry points and the bounded call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <system_error>
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
      {ErrorCode::NoService, "x", R"({"error":{"code":"NO_SERVICE","message":"x"}})"},
      {ErrorCode::NoReader, "x", R"({"error":{"code":"NO_READER","message":"x"}})"},
      {ErrorCode::Timeout, "x", R"({"error":{"code":"TIMEOUT","message":"x"}})"},
      {ErrorCode::Busy, "x", R"({"error":{"code":"BUSY","message":"x"}})"},
      {ErrorCode::Internal, "x", R"({"error":{"code":"INTERNAL","message":"x"}})"},
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

TEST(AdapterKit, JsonStringEscapesAndKeepsOnlyWellFormedUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"Reader \"A\" \\ 00", "\"Reader \\\"A\\\" \\\\ 00\""},
      {std::string("a\nb\x01\0c", 6), "\"a\\u000ab\\u0001\\u0000c\""},
      {"Lecteur \xC3\xA9\xE2\x82\xAC \xF0\x9F\x94\x91", "\"Lecteur \xC3\xA9\xE2\x82\xAC \xF0\x9F\x94\x91\""},
      // Stray, overlong and surrogate bytes, and a sequence cut short, each become U+FFFD.
      {"x\xFFy\xC0\xAFz\xED\xA0\x80", "\"x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"cut \xE2\x82", "\"cut \xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& c : cases) EXPECT_EQ(adapterkit::jsonString(c.first), c.second) << c.second;
}

TEST(AdapterKit, HexTextBothWays) {
  const unsigned char bytes[] = {0x00, 0x0e, 0xab, 0xff};
  EXPECT_EQ(adapterkit::hexText(bytes, sizeof bytes), "000eabff");
  EXPECT_EQ(adapterkit::hexText(bytes, sizeof bytes, true), "000EABFF");
  EXPECT_EQ(adapterkit::hexText(bytes, 0), "");
  unsigned char out[4];
  size_t length = 0;
  ASSERT_TRUE(adapterkit::hexToBytes("000EabFF", out, sizeof out, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), length), std::string(reinterpret_cast<const char*>(bytes), 4));
  for (const char* bad : {"0", "0g", "000000000a", " 00"}) EXPECT_FALSE(adapterkit::hexToBytes(bad, out, sizeof out, &length)) << bad;
}

// Whatever the work of an entry point throws, the caller gets the INTERNAL answer.
TEST(AdapterKit, GuardTurnsEveryExceptionIntoTheInternalAnswer) {
  struct Case {
    std::function<const char*()> work;
    const char* expected;
  };
  const Case cases[] = {
      {[]() -> const char* { throw std::bad_alloc(); },
       R"({"error":{"code":"INTERNAL","message":"The adapter failed and did nothing (std::bad_alloc)."}})"},
      {[]() -> const char* { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again), "thread"); },
       nullptr},
      {[]() -> const char* { throw std::runtime_error("quote \" and \\ and \n gone"); },
       R"({"error":{"code":"INTERNAL","message":"The adapter failed and did nothing (quote  and  and  gone)."}})"},
      {[]() -> const char* { throw 42; }, R"({"error":{"code":"INTERNAL","message":"The adapter failed and did nothing."}})"},
      {[] { return "fine"; }, "fine"},
  };
  for (const Case& c : cases) {
    std::string got = adapterkit::guarded(c.work);
    if (c.expected != nullptr) EXPECT_EQ(got, c.expected);
    else EXPECT_EQ(got.rfind(R"({"error":{"code":"INTERNAL","message":"The adapter failed and did nothing (thread: )", 0), 0u) << got;
  }
  // A message longer than the answer buffer is cut short, and the answer stays JSON.
  std::string huge(3 * adapterkit::kAnswerSize, 'w');
  std::string got = adapterkit::guarded([&huge]() -> const char* { throw std::runtime_error(huge); });
  EXPECT_LT(got.size(), adapterkit::kAnswerSize);
  EXPECT_EQ(got.substr(got.size() - 5), ").\"}}");
}

TEST(AdapterKit, BoundedCallWaitsForWorkThatEndsAndPassesItsException) {
  int result = 0;
  EXPECT_TRUE(adapterkit::runBounded(std::chrono::seconds(60), [&result] { result = 7; }));
  EXPECT_EQ(result, 7);
  EXPECT_THROW(adapterkit::runBounded(std::chrono::seconds(60), [] { throw std::length_error("x"); }),
               std::length_error);
  EXPECT_EQ(adapterkit::threadsLeftBehind(), 0);
}

// Work that does not end in time is left behind on its thread; the caller goes on at its
// limit, and the count falls back once the work ends.
TEST(AdapterKit, BoundedCallLeavesWorkBehindAtItsLimit) {
  struct Gate {
    std::mutex lock;
    std::condition_variable opened;
    bool open = false;
  };
  auto gate = std::make_shared<Gate>();
  auto ended = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(adapterkit::runBounded(std::chrono::milliseconds(50), [gate, ended] {
    std::unique_lock<std::mutex> hold(gate->lock);
    gate->opened.wait(hold, [&gate] { return gate->open; });
    *ended = true;
  }));
  EXPECT_FALSE(*ended);
  EXPECT_EQ(adapterkit::threadsLeftBehind(), 1);
  {
    std::lock_guard<std::mutex> hold(gate->lock);
    gate->open = true;
  }
  gate->opened.notify_all();
  for (int i = 0; i < 6000 && adapterkit::threadsLeftBehind() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(adapterkit::threadsLeftBehind(), 0);
  EXPECT_TRUE(*ended);
}

// Work that a cancel can end is not left behind: its thread is waited for.
TEST(AdapterKit, BoundedCallCancelsWorkAtItsLimit) {
  auto cancelled = std::make_shared<std::atomic<bool>>(false);
  EXPECT_FALSE(adapterkit::runBounded(
      std::chrono::milliseconds(50),
      [cancelled] {
        while (!*cancelled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      },
      [cancelled] { *cancelled = true; }));
  EXPECT_EQ(adapterkit::threadsLeftBehind(), 0);
}

}  // namespace
