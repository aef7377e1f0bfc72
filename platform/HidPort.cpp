#include "platform/HidPort.h"

namespace kestro {
namespace {
HidPort* g_port = nullptr;
}
HidPort& Port() { return *g_port; }
void SetPort(HidPort* port) { g_port = port; }
}  // namespace kestro
