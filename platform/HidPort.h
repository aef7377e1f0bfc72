// The operating-system calls that CHid needs, and nothing more. Implemented by the Win32 port
// (shipped), the device link (test build of the exe) and an in-process fake (native tests).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/NativeWindow.h"

namespace kestro {

// Every report is 65 bytes: byte 0 is the report id (always 0), then 64 payload bytes.
inline constexpr std::size_t kReportSize = 65;
inline constexpr std::size_t kPayloadSize = 64;
using Report = std::uint8_t[kReportSize];

using PortHandle = std::int64_t;
inline constexpr PortHandle kNoHandle = -1;

// A device-notification registration, opaque above the seam.
using NotifyRegistration = void*;

// Outcomes of one read, as the platform's wait codes.
inline constexpr std::uint32_t kWaitReceived = 0;
inline constexpr std::uint32_t kWaitNotOpen = 0x80;   // WAIT_ABANDONED: handle not open
inline constexpr std::uint32_t kWaitTimeout = 0x102;  // WAIT_TIMEOUT
inline constexpr std::uint32_t kWaitReadFailed =
    0xFFFFFFFF;  // WAIT_FAILED: rejected or failed read

enum class PortAccess {
  ProbeReadWrite,  // read and write, overlapped: the search's access test
  Write,           // write only (bounded writes)
  Read,            // read only, overlapped
};

struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
};

class HidPort {
 public:
  virtual ~HidPort() = default;

  // A snapshot of the present HID interfaces' device paths, in the system's enumeration order.
  virtual std::vector<std::wstring> EnumerateInterfaces() = 0;
  // kNoHandle when the path cannot be opened with that access.
  virtual PortHandle Open(const std::wstring& path, PortAccess access) = 0;
  virtual bool GetAttributes(PortHandle handle, HidAttributes& attributes) = 0;
  // Writes all 65 bytes; gives up after timeoutMs. True only when the report was written.
  virtual bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) = 0;
  // Waits at most timeoutMs for one report. kWaitReceived (report filled), kWaitTimeout, or
  // kWaitReadFailed for any read error; a report that completes while a timed-out read is being
  // cancelled is delivered as received.
  virtual std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) = 0;
  virtual void Close(PortHandle handle) = 0;
  // Registers the window for HID interface arrival and removal; nullptr when refused.
  virtual NotifyRegistration RegisterNotifications(NativeWindow window) = 0;
  virtual void UnregisterNotifications(NotifyRegistration registration) = 0;
  // The system's error code of this thread's last failed call (GetLastError on Win32).
  virtual std::uint32_t LastError() { return 0; }
  // From now on every read and write fails at once, as on a controller that is gone: a front that
  // stops an update. Safe from any thread and from a signal handler.
  virtual void Abort() {}
};

// One open handle of a port, closed when it goes; it can be moved, never copied.
class OwnedHandle {
 public:
  OwnedHandle() = default;
  OwnedHandle(HidPort& port, PortHandle handle) : m_port(&port), m_handle(handle) {}
  ~OwnedHandle() { Reset(); }
  OwnedHandle(OwnedHandle&& other) noexcept
      : m_port(other.m_port), m_handle(std::exchange(other.m_handle, kNoHandle)) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) {
      Reset();
      m_port = other.m_port;
      m_handle = std::exchange(other.m_handle, kNoHandle);
    }
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;

  bool IsOpen() const { return m_handle != kNoHandle; }
  PortHandle Get() const { return m_handle; }
  void Reset() {
    if (m_handle != kNoHandle) m_port->Close(std::exchange(m_handle, kNoHandle));
  }

 private:
  HidPort* m_port = nullptr;
  PortHandle m_handle = kNoHandle;
};

}  // namespace kestro
