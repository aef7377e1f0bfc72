// The HID port this program is built with: the Win32 port in the shipped program, the device
// link in the test build. Each executable links exactly one definition.
#pragma once

#include <memory>

#include "platform/HidPort.h"

std::unique_ptr<kestro::HidPort> CreatePlatformHidPort();
