// One emulated machine for a native test: virtual time, the fake HID port, the headless window
// system (both handed to what a test builds) and a capture of the diagnostic lines. Resets the
// process-wide values a test touches.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "hid/Hid.h"
#include "platform/Diagnostics.h"
#include "platform/headless/HeadlessWindowSystem.h"
#include "tests/support/FakeHidPort.h"
#include "update/UpdateState.h"

namespace kestro::testing {

class Environment {
 public:
  Environment() : port(clock), system(clock) {
    DeviceKind = kDeviceKindNormal;
    stopFlag = 0;
    updateState = kUpdateStateUninitialised;
    deviceVersion = 0;
    CHid::ClearOutputReport();
    SetDiagnosticSink([this](const std::wstring& line) {
      std::lock_guard<std::mutex> lock(m_linesMutex);
      m_lines.push_back(line);
    });
  }
  ~Environment() {
    system.JoinThreads();
    SetDiagnosticSink(nullptr);
  }

  std::vector<std::wstring> Lines() const {
    std::lock_guard<std::mutex> lock(m_linesMutex);
    return m_lines;
  }
  bool HasLine(const std::wstring& line) const {
    for (const auto& l : Lines()) {
      if (l == line) return true;
    }
    return false;
  }
  int CountLines(const std::wstring& line) const {
    int n = 0;
    for (const auto& l : Lines()) n += l == line;
    return n;
  }

  headless::VirtualClock clock;
  FakeHidPort port;
  headless::HeadlessWindowSystem system;

 private:
  mutable std::mutex m_linesMutex;
  std::vector<std::wstring> m_lines;
};

}  // namespace kestro::testing
