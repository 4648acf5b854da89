// Inter-process messages: a hashed, time-stamped record, its one-line JSON form, replay
// check, and the hooks of a message receiver. The transport is not active in this service.
#pragma once

struct HalvorantMessage {
  char* From;
  char* To;
  char* Instruction;
  char* Message;
  char* TimeValue1;  // characters 0-2 of the time-value text
  char* TimeValue2;  // characters 3-6
  char* TimeValue3;  // characters 7-10
  char* TimeValue4;  // characters 11-15
  char* HashValue;   // 128 upper-case hexadecimal characters
};

typedef void (*HalvorantHook)();

extern HalvorantHook FinalFunction;
extern HalvorantHook StartFunction;
extern HalvorantHook StopFunction;
extern HalvorantHook RestartFunction;
extern bool* MessageLock;

HalvorantMessage* getHalvorantMessage(const char* from, const char* to, const char* instruction,
                                      const char* message);
HalvorantMessage* getHalvorantMessage(const char* json);
char* getHalvorantMessageHash(const HalvorantMessage* record);
// The one-line JSON form, values written without escaping. Null when a field is missing or
// holds a double quote, a backslash or a control character, which that form cannot carry
// (the warning "HalvorantMessage to JSON: " "Field not representable").
char* HalvorantMessageToJson(const HalvorantMessage* record);
bool verifyMessage(const HalvorantMessage* record);
void HalvorantMessageFinal(HalvorantMessage* record);
bool sendIPCMsg(const char* from, const char* to, const char* instruction, const char* message);
void startMessageReceiver(const char* channel);
void setFinal(HalvorantHook callback);
void setStart(HalvorantHook callback);
void setStop(HalvorantHook callback);
void setRestart(HalvorantHook callback);
void setMessageLock(bool* flag);
