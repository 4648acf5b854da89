// Inter-process messages: record, JSON form, hash, replay window, receiver hooks.
#include "ipc/Message.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

#include "crypto/Digest.h"
#include "diag/Console.h"
#include "util/Tool.h"

HalvorantHook FinalFunction = nullptr;
HalvorantHook StartFunction = nullptr;
HalvorantHook StopFunction = nullptr;
HalvorantHook RestartFunction = nullptr;
bool* MessageLock = nullptr;

namespace {

// Built into every hash; every process that exchanges messages must use the same one.
const char* const kMessageSalt = "N";
// Seconds (time-value units) a message stays acceptable after it was stamped.
constexpr uint64_t kReplayWindow = 3;
constexpr size_t kTimeValueMax = 16;
constexpr size_t kTimeValueRead = 19;

struct Slice {
  size_t start;
  size_t length;
};
constexpr Slice kSlices[4] = {{0, 3}, {3, 4}, {7, 4}, {11, 5}};

// getJsonCharValue keeps process-wide tokenizer state; this module is its only user.
std::mutex jsonReaderLock;

const char* orNull(const char* text) { return text ? text : "(null)"; }

char* sliceOf(const char* text, const Slice& slice) {
  size_t length = std::strlen(text);
  size_t start = slice.start < length ? slice.start : length;
  size_t count = length - start < slice.length ? length - start : slice.length;
  return newMem(std::string(text + start, count).c_str());
}

char** timeParts(HalvorantMessage* record) {
  static_assert(sizeof(char*) * 4 ==
                    offsetof(HalvorantMessage, HashValue) - offsetof(HalvorantMessage, TimeValue1),
                "time-value parts lie side by side");
  return &record->TimeValue1;
}

// Fills the four parts from a time-value text; false on allocation failure.
bool setTimeParts(HalvorantMessage* record, const char* text) {
  char** parts = timeParts(record);
  for (int i = 0; i < 4; ++i) {
    parts[i] = sliceOf(text, kSlices[i]);
    if (parts[i] == nullptr) return false;
  }
  return true;
}

std::string joinedTime(const HalvorantMessage* record) {
  std::string joined;
  for (const char* part :
       {record->TimeValue1, record->TimeValue2, record->TimeValue3, record->TimeValue4})
    if (part != nullptr) joined += part;
  return joined;
}

uint64_t readHex(const char* text, size_t count) {
  uint64_t value = 0;
  for (size_t i = 0; i < count; ++i) {
    char c = text[i];
    int digit = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : -1;
    if (digit < 0) continue;  // blanks (and anything else) read as nothing
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value;
}

// The joined time-value text as a number: right-aligned in 16 places, read in slices.
uint64_t messageTimeValue(const HalvorantMessage* record) {
  std::string joined = joinedTime(record).substr(0, kTimeValueMax);
  std::string aligned = std::string(kTimeValueMax - joined.size(), ' ') + joined;
  static const int kShifts[4] = {52, 36, 20, 0};
  uint64_t value = 0;
  for (int i = 0; i < 4; ++i)
    value += readHex(aligned.c_str() + kSlices[i].start, kSlices[i].length) << kShifts[i];
  return value;
}

// The JSON form has no escaping; a field it cannot carry must not be written into it.
bool fitsJson(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p)
    if (*p == '"' || *p == '\\' || *p < 0x20) return false;
  return true;
}

}  // namespace

char* getHalvorantMessageHash(const HalvorantMessage* record) {
  if (record == nullptr) {
    HALVORANT_NULL_WARNING("inputMessage");
    return nullptr;
  }
  std::string text;
  for (const char* field : std::initializer_list<const char*>{
           record->From, record->To, record->TimeValue1, record->TimeValue2, record->TimeValue3,
           record->TimeValue4, kMessageSalt, record->Instruction, record->Message})
    text += orNull(field);
  return SHA512(text.c_str());
}

void HalvorantMessageFinal(HalvorantMessage* record) {
  if (record == nullptr) return;
  for (char* field : {record->From, record->To, record->Instruction, record->Message,
                      record->TimeValue1, record->TimeValue2, record->TimeValue3,
                      record->TimeValue4, record->HashValue})
    freeMem(field);
  freeMem(record);
}

HalvorantMessage* getHalvorantMessage(const char* from, const char* to, const char* instruction,
                                      const char* message) {
  if (from == nullptr) HALVORANT_NULL_WARNING("inputFrom");
  if (to == nullptr) HALVORANT_NULL_WARNING("inputTo");
  if (message == nullptr) HALVORANT_NULL_WARNING("inputMessage");
  if (from == nullptr || to == nullptr || message == nullptr) return nullptr;
  auto* record = static_cast<HalvorantMessage*>(newMemSize(sizeof(HalvorantMessage)));
  if (record == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  record->From = newMem(from);
  record->To = newMem(to);
  record->Instruction = newMem(instruction);
  record->Message = newMem(message);
  char* timeValue = getTimeValueStr();
  bool ok = record->From && record->To && record->Message &&
            (instruction == nullptr || record->Instruction) && timeValue &&
            setTimeParts(record, timeValue);
  freeMem(timeValue);
  if (ok) record->HashValue = getHalvorantMessageHash(record);
  if (!ok || record->HashValue == nullptr) {
    HALVORANT_MEMORY_FAIL();
    HalvorantMessageFinal(record);
    return nullptr;
  }
  return record;
}

HalvorantMessage* getHalvorantMessage(const char* json) {
  auto* record = static_cast<HalvorantMessage*>(newMemSize(sizeof(HalvorantMessage)));
  if (record == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  if (json == nullptr) return record;
  char* timeValue = nullptr;
  {
    std::lock_guard<std::mutex> guard(jsonReaderLock);
    record->From = getJsonCharValue(json, "From");
    record->To = getJsonCharValue(json, "To");
    record->Instruction = getJsonCharValue(json, "Instruction");
    record->Message = getJsonCharValue(json, "Message");
    timeValue = getJsonCharValue(json, "TimeValue");
    record->HashValue = getJsonCharValue(json, "HashValue");
  }
  bool ok = true;
  if (timeValue != nullptr) {
    if (std::strlen(timeValue) > kTimeValueRead) timeValue[kTimeValueRead] = '\0';
    ok = setTimeParts(record, timeValue);
    freeMem(timeValue);
  }
  if (!ok) {
    HALVORANT_MEMORY_FAIL();
    HalvorantMessageFinal(record);
    return nullptr;
  }
  return record;
}

char* HalvorantMessageToJson(const HalvorantMessage* record) {
  if (record == nullptr) {
    HALVORANT_NULL_WARNING("inputMessage");
    return nullptr;
  }
  if (!record->From || !record->To || !record->Instruction || !record->Message ||
      !record->HashValue)
    return nullptr;
  std::string timeValue = joinedTime(record);
  for (const char* field : std::initializer_list<const char*>{
           record->From, record->To, record->Instruction, record->Message, timeValue.c_str(),
           record->HashValue})
    if (!fitsJson(field)) {
      printfColorWarningLine("HalvorantMessage to JSON: ", "Field not representable");
      return nullptr;
    }
  size_t size = std::strlen(record->From) + std::strlen(record->To) +
                std::strlen(record->Instruction) + std::strlen(record->Message) +
                timeValue.size() + std::strlen(record->HashValue) + 205;
  char* json = static_cast<char*>(newMemSize(size));
  if (json == nullptr) {
    HALVORANT_MEMORY_FAIL();
    return nullptr;
  }
  std::snprintf(json, size,
                "{\"From\":\"%s\", \"To\":\"%s\", \"Instruction\":\"%s\", \"Message\":\"%s\", "
                "\"TimeValue\":\"%s\", \"HashValue\":\"%s\"}",
                record->From, record->To, record->Instruction, record->Message,
                timeValue.c_str(), record->HashValue);
  return json;
}

bool verifyMessage(const HalvorantMessage* record) {
  if (record == nullptr) {
    HALVORANT_NULL_WARNING("inputMessage");
    return false;
  }
  uint64_t now = getTimeValue();
  uint64_t stamped = messageTimeValue(record);
  // Unsigned: a stamp from the future wraps to a huge age and fails like an old one.
  if (now - stamped >= kReplayWindow) {
    char text[32];
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(now));
    printfColorWarningLine("HalvorantMessage now time value: ", text);
    std::snprintf(text, sizeof text, "%llx", static_cast<unsigned long long>(stamped));
    printfColorWarningLine("HalvorantMessage message time value: ", text);
    printfColorWarningLine("HalvorantMessage verify fail: ", "Replay attack");
    return false;
  }
  char* hash = getHalvorantMessageHash(record);
  bool same = hash != nullptr && record->HashValue != nullptr &&
              std::strcmp(hash, record->HashValue) == 0;
  freeMem(hash);
  showWarningState("HalvorantMessage verify state: ", same, "Success", "Fail");
  return same;
}

bool sendIPCMsg(const char* from, const char* to, const char* instruction, const char* message) {
  if (from == nullptr) HALVORANT_NULL_WARNING("kcstrInputFrom");
  if (to == nullptr) HALVORANT_NULL_WARNING("kcstrInputTo");
  if (instruction == nullptr || instruction[0] == '\0')
    printfColorWarningLine("[Warning] ", "Instruction is empty");
  // No transport in this service: nothing is ever sent.
  const bool sent = false;
  showErrorState("Send message final result: ", sent, "Success", "Fail");
  return sent;
}

void startMessageReceiver(const char* channel) {
  if (channel == nullptr) {
    HALVORANT_NULL_WARNING("inputChannel");
    return;
  }
  printfColorLine("IPC mode: ", "Cross platform mode");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

void setFinal(HalvorantHook callback) { FinalFunction = callback; }
void setStart(HalvorantHook callback) { StartFunction = callback; }
void setStop(HalvorantHook callback) { StopFunction = callback; }
void setRestart(HalvorantHook callback) { RestartFunction = callback; }
void setMessageLock(bool* flag) { MessageLock = flag; }
