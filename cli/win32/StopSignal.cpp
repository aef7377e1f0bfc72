#include "cli/StopSignal.h"

// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on

namespace kestro::cli {

StopSignal::StopSignal()
    : m_handle(reinterpret_cast<std::intptr_t>(::CreateEventW(nullptr, TRUE, FALSE, nullptr))) {}

StopSignal::~StopSignal() {
  if (m_handle != 0) ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));
}

void StopSignal::Raise() { ::SetEvent(reinterpret_cast<HANDLE>(m_handle)); }

void StopSignal::Sleep(std::uint32_t milliseconds) const {
  if (m_handle == 0) {
    ::Sleep(milliseconds);
    return;
  }
  ::WaitForSingleObject(reinterpret_cast<HANDLE>(m_handle), milliseconds);
}

}  // namespace kestro::cli
