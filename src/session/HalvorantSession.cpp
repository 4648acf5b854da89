// Placeholder session manager: keeps start-up and shutdown linkable until the real
// table, loading and processing land here. It opens no sessions and answers nothing.
#include "session/HalvorantSession.h"

#include "diag/Console.h"

void HalvorantSession_Init(const char* copyDirectory, const char* executableDirectory) {}

void HalvorantSession_Final() { printfColorLine("[HalvorantFinal] ", "Start release all adapters"); }

HalvorantJsonMap* HalvorantSession_Process(uint32_t processNumber, HalvorantJsonMap* request, char* origin,
                                           int* resultLength) {
  return nullptr;
}
