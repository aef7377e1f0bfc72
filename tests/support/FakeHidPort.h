// An in-process HID port for native tests: interfaces that a test attaches, each optionally
// hosting an emulated controller, with virtual time for every wait.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HidPort.h"
#include "platform/headless/VirtualClock.h"
#include "sim/Device.h"

namespace kestro::testing {

class FakeHidPort : public HidPort {
 public:
  explicit FakeHidPort(headless::VirtualClock& clock) : m_clock(clock) {}

  struct Interface {
    std::wstring path;
    HidAttributes attributes;
    bool openFails = false;
    bool attributesFail = false;
    bool attached = true;
    bool writesFail = false;
    std::shared_ptr<sim::Device> device;
  };

  // --- scripting (tests) ---
  void Attach(const std::wstring& path, std::uint16_t vid, std::uint16_t pid,
              std::shared_ptr<sim::Device> device = nullptr);
  void AttachDevice(const std::wstring& path, std::shared_ptr<sim::Device> device);
  void SetOpenFails(const std::wstring& path, bool fails);
  void SetAttributesFail(const std::wstring& path, bool fails);
  void SetWritesFail(const std::wstring& path, bool fails);
  void Detach(const std::wstring& path);
  // An input report for every open read-capable handle of the interface, readable after delay.
  void Input(const std::wstring& path, const std::uint8_t (&payload)[kPayloadSize],
             std::uint32_t delayMs = 0);

  // --- inspection ---
  std::vector<std::vector<std::uint8_t>> Written() const;  // every report written, 65 bytes
  int Registrations() const;
  int OpenHandles() const;
  NativeWindow RegisteredWindow() const;

  // --- HidPort ---
  std::vector<std::wstring> EnumerateInterfaces() override;
  PortHandle Open(const std::wstring& path, PortAccess access) override;
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override;
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
  void Close(PortHandle handle) override;
  NotifyRegistration RegisterNotifications(NativeWindow window) override;
  void UnregisterNotifications(NotifyRegistration registration) override;

 private:
  struct Queued {
    std::uint64_t due;
    std::vector<std::uint8_t> report;
  };
  struct Handle {
    std::wstring path;
    PortAccess access;
    std::deque<Queued> queue;
  };
  class Host;

  Interface* FindInterface(const std::wstring& path);
  void QueueInput(const std::wstring& path, const std::uint8_t* payload, std::uint32_t delayMs);

  headless::VirtualClock& m_clock;
  mutable std::recursive_mutex m_mutex;
  std::vector<Interface> m_interfaces;
  std::map<PortHandle, Handle> m_handles;
  PortHandle m_nextHandle = 1;
  std::vector<std::vector<std::uint8_t>> m_written;
  int m_registrations = 0;
  NativeWindow m_window = nullptr;
};

}  // namespace kestro::testing
