// An in-process HID port for native tests: interfaces that a test attaches, each optionally
// hosting an emulated controller, with virtual time for every wait. The interfaces follow the
// device link's rules (link::InterfaceTable), so the native tests see what the link build sees.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HidPort.h"
#include "platform/headless/VirtualClock.h"
#include "platform/link/InterfaceTable.h"
#include "sim/Device.h"

namespace kestro::testing {

class FakeHidPort : public HidPort {
 public:
  explicit FakeHidPort(headless::VirtualClock& clock) : m_clock(clock) {}

  // --- scripting (tests) ---
  // Attaching a present path plugs in a new device in its place; the Set... calls and Input act
  // on the device attached now.
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

  // --- what the test looks at ---
  std::vector<std::vector<std::uint8_t>> Written() const;  // every report written, 65 bytes
  int Registrations() const;
  int Enumerations() const;  // searches that looked at the interfaces
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
  class Host;

  // Inputs, removal and stalls from a device reach the port only while its attach lasts: a
  // device unplugged or replaced speaks to nobody. The scripting calls pass kPresentAttach.
  static constexpr std::uint64_t kPresentAttach = 0;
  // With m_mutex held.
  bool Lasts(const std::wstring& path, std::uint64_t instance) const;
  void QueueInput(const std::wstring& path, std::uint64_t instance, const std::uint8_t* payload,
                  std::uint32_t delayMs);
  void DetachInstance(const std::wstring& path, std::uint64_t instance);
  void SetFlag(const std::wstring& path, std::uint64_t instance, bool link::InterfaceFlags::*flag,
               bool on);

  headless::VirtualClock& m_clock;
  mutable std::mutex m_mutex;
  link::InterfaceTable m_interfaces;
  // The emulated controller of each attach that hosts one, by attach number.
  std::map<std::uint64_t, std::shared_ptr<sim::Device>> m_devices;
  // In blocks: a write costs no allocation of its own, and a long poll copies none of the
  // earlier ones (a waiting updater writes one every few milliseconds).
  std::deque<std::array<std::uint8_t, kReportSize>> m_written;
  int m_registrations = 0;
  int m_enumerations = 0;
  NativeWindow m_window = nullptr;
};

}  // namespace kestro::testing
