// The HID port this program is built with: the Win32 port in the shipped program, the device
// link in the test build. Each executable links exactly one definition.
#pragma once

#include <memory>

#include "platform/HidPort.h"

std::unique_ptr<kestro::HidPort> CreatePlatformHidPort();

namespace kestro::win32 {
// The shipped port (Win32HidPort.cpp only) over the named system DLL in place of hid.dll, for
// tests of a system whose hid.dll cannot be loaded or lacks what the port needs.
std::unique_ptr<HidPort> CreateHidPortOver(const wchar_t* hidLibrary);
}  // namespace kestro::win32
