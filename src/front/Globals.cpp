// Definitions of the process-wide state declared in Halvorant.h.
#include "front/Halvorant.h"

char CopyPath[4096] = {0};
char ExecutePath[4096] = {0};
int32_t uid = -1;
const uint32_t HalvorantProcessID = 0;

std::atomic<bool> HalvorantClose{false};
std::atomic<bool> HalvorantStopping{false};

MHD_Daemon* DaemonIPv4[3] = {nullptr, nullptr, nullptr};
MHD_Daemon* DaemonIPv6[3] = {nullptr, nullptr, nullptr};

const char PortList[] = "port=56469 56569 56669";
int ServicePorts[3] = {0, 0, 0};
