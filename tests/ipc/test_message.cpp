// Inter-process messages: record, hash, JSON form, replay window and the hooks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <mbedtls/sha512.h>
#include <string>

#include "ipc/Message.h"
#include "util/Tool.h"

namespace {

time_t fixedNow = 0;
time_t fixedClock() { return fixedNow; }

// 2026-12-05 15:54:43 local time: time value 347385283, "14b4adc3".
time_t stampTime() {
  struct tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 5;
  t.tm_hour = 15;
  t.tm_min = 54;
  t.tm_sec = 43;
  return timegm(&t);
}

std::string sha512Hex(const std::string& text) {
  unsigned char digest[64];
  mbedtls_sha512_ret(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, 0);
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : digest) {
    out.push_back(hex[b >> 4]);
    out.push_back(hex[b & 15]);
  }
  return out;
}

struct RecordDeleter {
  void operator()(HalvorantMessage* record) const { HalvorantMessageFinal(record); }
};
using Record = std::unique_ptr<HalvorantMessage, RecordDeleter>;

struct Text {
  char* text;
  explicit Text(char* t) : text(t) {}
  ~Text() { freeMem(text); }
  std::string str() const { return text ? text : "<null>"; }
};

class MessageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC0", 1);
    tzset();
    fixedNow = stampTime();
    setHalvorantClock(fixedClock);
  }
  void TearDown() override { setHalvorantClock(nullptr); }

  // Verifies with the clock moved by the given seconds; returns the result and the output.
  static bool verifyAt(const HalvorantMessage* record, int seconds, std::string* output) {
    fixedNow = stampTime() + seconds;
    testing::internal::CaptureStdout();
    bool ok = verifyMessage(record);
    *output = testing::internal::GetCapturedStdout();
    fixedNow = stampTime();
    return ok;
  }
};

TEST_F(MessageTest, BuiltRecordCarriesSlicedTimeAndSaltedHash) {
  Record record(getHalvorantMessage("svc", "peer", "stop", "now"));
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->TimeValue1, "14b");
  EXPECT_STREQ(record->TimeValue2, "4adc");
  EXPECT_STREQ(record->TimeValue3, "3");
  EXPECT_STREQ(record->TimeValue4, "");
  // The salt "N" sits between the time value and the instruction.
  EXPECT_EQ(std::string(record->HashValue), sha512Hex("svcpeer14b4adc3Nstopnow"));
  Text hash(getHalvorantMessageHash(record.get()));
  EXPECT_EQ(hash.str(), record->HashValue);

  EXPECT_EQ(getHalvorantMessage(nullptr, "peer", "stop", "now"), nullptr);
  EXPECT_EQ(getHalvorantMessage("svc", nullptr, "stop", "now"), nullptr);
  EXPECT_EQ(getHalvorantMessage("svc", "peer", "stop", nullptr), nullptr);
  Record noInstruction(getHalvorantMessage("svc", "peer", nullptr, "now"));
  ASSERT_NE(noInstruction, nullptr);
  EXPECT_EQ(std::string(noInstruction->HashValue), sha512Hex("svcpeer14b4adc3N(null)now"));
}

struct WindowCase {
  int seconds;
  bool accepted;
};

TEST_F(MessageTest, ReplayWindowIsThreeSeconds) {
  Record record(getHalvorantMessage("svc", "peer", "stop", "now"));
  ASSERT_NE(record, nullptr);
  const WindowCase cases[] = {{0, true}, {2, true}, {3, false}, {60, false}, {-1, false}};
  for (const WindowCase& c : cases) {
    SCOPED_TRACE(c.seconds);
    std::string out;
    EXPECT_EQ(verifyAt(record.get(), c.seconds, &out), c.accepted);
    if (c.accepted) {
      EXPECT_NE(out.find("HalvorantMessage verify state: "), std::string::npos);
      EXPECT_NE(out.find("Success"), std::string::npos);
    } else {
      EXPECT_NE(out.find("HalvorantMessage now time value: "), std::string::npos);
      EXPECT_NE(out.find("HalvorantMessage message time value: "), std::string::npos);
      EXPECT_NE(out.find("14b4adc3"), std::string::npos);
      EXPECT_NE(out.find("Replay attack"), std::string::npos);
    }
  }
  std::string out;
  EXPECT_FALSE(verifyAt(nullptr, 0, &out));
}

TEST_F(MessageTest, ChangedFieldFailsTheHash) {
  Record record(getHalvorantMessage("svc", "peer", "stop", "now"));
  ASSERT_NE(record, nullptr);
  freeMem(record->Message);
  record->Message = newMem("later");
  std::string out;
  EXPECT_FALSE(verifyAt(record.get(), 0, &out));
  EXPECT_NE(out.find("HalvorantMessage verify state: "), std::string::npos);
  EXPECT_NE(out.find("Fail"), std::string::npos);
  EXPECT_EQ(out.find("Replay attack"), std::string::npos);
}

TEST_F(MessageTest, JsonFormReadsBackAndVerifies) {
  Record record(getHalvorantMessage("svc", "peer", "stop", "now"));
  ASSERT_NE(record, nullptr);
  Text json(HalvorantMessageToJson(record.get()));
  EXPECT_EQ(json.str(), "{\"From\":\"svc\", \"To\":\"peer\", \"Instruction\":\"stop\", "
                        "\"Message\":\"now\", \"TimeValue\":\"14b4adc3\", \"HashValue\":\"" +
                            std::string(record->HashValue) + "\"}");
  Record back(getHalvorantMessage(json.text));
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->From, "svc");
  EXPECT_STREQ(back->Instruction, "stop");
  EXPECT_STREQ(back->TimeValue3, "3");
  std::string out;
  EXPECT_TRUE(verifyAt(back.get(), 1, &out));
}

TEST_F(MessageTest, ReadingIncompleteJson) {
  Record empty(getHalvorantMessage(static_cast<const char*>(nullptr)));
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->From, nullptr);
  EXPECT_EQ(empty->TimeValue1, nullptr);
  EXPECT_EQ(empty->HashValue, nullptr);
  EXPECT_EQ(HalvorantMessageToJson(empty.get()), nullptr);

  Record partial(getHalvorantMessage("{\"From\":\"a\", \"TimeValue\":\"0123456789abcdefXYZW\"}"));
  ASSERT_NE(partial, nullptr);
  EXPECT_STREQ(partial->From, "a");
  EXPECT_EQ(partial->To, nullptr);
  EXPECT_STREQ(partial->TimeValue1, "012");
  EXPECT_STREQ(partial->TimeValue4, "bcdef");
  std::string out;
  EXPECT_FALSE(verifyAt(partial.get(), 0, &out));
}

TEST_F(MessageTest, JsonFormRefusesFieldsItCannotCarry) {
  // Unescaped, a quote would end the value early and let the text add members of its own;
  // a backslash would escape the closing quote and shift every later member.
  struct Field {
    const char *from, *message;
  } bad[] = {
      {"svc", "say \"hi\", \"HashValue\":\"0\""},
      {"svc", "two\nlines"},
      {"svc\\", "now"},
      {"svc", "C:\\dir"},
  };
  for (const Field& field : bad) {
    SCOPED_TRACE(std::string(field.from) + " / " + field.message);
    Record record(getHalvorantMessage(field.from, "peer", "stop", field.message));
    ASSERT_NE(record, nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(HalvorantMessageToJson(record.get()), nullptr);
    testing::internal::GetCapturedStdout();
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(HalvorantMessageToJson(nullptr), nullptr);
  testing::internal::GetCapturedStdout();
}

TEST_F(MessageTest, SendReportsFailureOnEveryPath) {
  struct SendCase {
    const char *from, *to, *instruction, *expected;
  } cases[] = {
      {"a", "b", "go", nullptr},
      {nullptr, "b", "go", "kcstrInputFrom"},
      {"a", nullptr, "go", "kcstrInputTo"},
      {"a", "b", "", "Instruction is empty"},
      {"a", "b", nullptr, "Instruction is empty"},
  };
  for (const SendCase& c : cases) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(sendIPCMsg(c.from, c.to, c.instruction, "m"));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Send message final result: "), std::string::npos);
    EXPECT_NE(out.find("Fail"), std::string::npos);
    if (c.expected) {
      EXPECT_NE(out.find(c.expected), std::string::npos) << out;
    }
  }
}

void hookA() {}
void hookB() {}

TEST_F(MessageTest, ReceiverAnnouncesModeAndHooksAreStored) {
  testing::internal::CaptureStdout();
  startMessageReceiver("chan");
  startMessageReceiver(nullptr);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("IPC mode: "), std::string::npos);
  EXPECT_NE(out.find("Cross platform mode"), std::string::npos);
  EXPECT_NE(out.find("inputChannel"), std::string::npos);

  setFinal(hookA);
  setStart(hookB);
  setStop(hookA);
  setRestart(hookB);
  bool flag = false;
  setMessageLock(&flag);
  EXPECT_EQ(FinalFunction, &hookA);
  EXPECT_EQ(StartFunction, &hookB);
  EXPECT_EQ(StopFunction, &hookA);
  EXPECT_EQ(RestartFunction, &hookB);
  EXPECT_EQ(MessageLock, &flag);
  setMessageLock(nullptr);
}

}  // namespace
