#include "tests/support/FakeHidPort.h"

#include <cstring>

namespace kestro::testing {

// Lets an emulated controller answer through the port that hosts it, for as long as the attach
// it was plugged in with lasts. Lives for one write, which keeps the path.
class FakeHidPort::Host : public sim::DeviceHost {
 public:
  Host(FakeHidPort& port, const std::wstring& path, std::uint64_t instance)
      : m_port(port), m_path(path), m_instance(instance) {}
  void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override {
    m_port.QueueInput(m_path, m_instance, payload, delayMs);
  }
  void Detach() override { m_port.DetachInstance(m_path, m_instance); }
  void StopTakingOutput() override {
    m_port.SetFlag(m_path, m_instance, &link::InterfaceFlags::stalled, true);
  }
  std::uint64_t NowMs() override { return m_port.m_clock.NowMs(); }

 private:
  FakeHidPort& m_port;
  const std::wstring& m_path;
  std::uint64_t m_instance;
};

bool FakeHidPort::Lasts(const std::wstring& path, std::uint64_t instance) const {
  const std::uint64_t present = m_interfaces.InstanceOf(path);
  return present != 0 && (instance == kPresentAttach || instance == present);
}

void FakeHidPort::Attach(const std::wstring& path, std::uint16_t vid, std::uint16_t pid,
                         std::shared_ptr<sim::Device> device) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_devices.erase(m_interfaces.InstanceOf(path));
  const std::uint64_t instance = m_interfaces.Attach(path, {vid, pid});
  if (device) m_devices[instance] = std::move(device);
}

void FakeHidPort::AttachDevice(const std::wstring& path, std::shared_ptr<sim::Device> device) {
  const std::uint16_t vid = device->VendorId();
  const std::uint16_t pid = device->ProductId();
  Attach(path, vid, pid, std::move(device));
}

void FakeHidPort::SetOpenFails(const std::wstring& path, bool fails) {
  SetFlag(path, kPresentAttach, &link::InterfaceFlags::noOpen, fails);
}

void FakeHidPort::SetAttributesFail(const std::wstring& path, bool fails) {
  SetFlag(path, kPresentAttach, &link::InterfaceFlags::noAttr, fails);
}

void FakeHidPort::SetWritesFail(const std::wstring& path, bool fails) {
  SetFlag(path, kPresentAttach, &link::InterfaceFlags::stalled, fails);
}

void FakeHidPort::SetFlag(const std::wstring& path, std::uint64_t instance,
                          bool link::InterfaceFlags::*flag, bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (Lasts(path, instance)) m_interfaces.Flags(path)->*flag = on;
}

void FakeHidPort::Detach(const std::wstring& path) { DetachInstance(path, kPresentAttach); }

void FakeHidPort::DetachInstance(const std::wstring& path, std::uint64_t instance) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!Lasts(path, instance)) return;
  m_devices.erase(m_interfaces.InstanceOf(path));
  m_interfaces.Detach(path);
}

void FakeHidPort::Input(const std::wstring& path, const std::uint8_t (&payload)[kPayloadSize],
                        std::uint32_t delayMs) {
  QueueInput(path, kPresentAttach, payload, delayMs);
}

void FakeHidPort::QueueInput(const std::wstring& path, std::uint64_t instance,
                             const std::uint8_t* payload, std::uint32_t delayMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (!Lasts(path, instance)) return;
  link::InterfaceTable::ReportBytes report{};
  std::memcpy(report.data() + 1, payload, kPayloadSize);
  m_interfaces.Input(path, report, m_clock.NowMs() + delayMs);
}

std::vector<std::vector<std::uint8_t>> FakeHidPort::Written() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  std::vector<std::vector<std::uint8_t>> written;
  written.reserve(m_written.size());
  for (const auto& report : m_written) written.emplace_back(report.begin(), report.end());
  return written;
}

int FakeHidPort::Enumerations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_enumerations;
}

int FakeHidPort::Registrations() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_registrations;
}

int FakeHidPort::OpenHandles() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_interfaces.OpenHandles());
}

NativeWindow FakeHidPort::RegisteredWindow() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_window;
}

std::vector<std::wstring> FakeHidPort::EnumerateInterfaces() {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_enumerations;
  return m_interfaces.Attached();
}

PortHandle FakeHidPort::Open(const std::wstring& path, PortAccess access) {
  std::lock_guard<std::mutex> lock(m_mutex);
  PortHandle handle = kNoHandle;
  return m_interfaces.Open(path, access, handle) == link::Outcome::kDone ? handle : kNoHandle;
}

bool FakeHidPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_interfaces.GetAttributes(handle, attributes) == link::Outcome::kDone;
}

bool FakeHidPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  link::InterfaceTable::Instance target;
  std::shared_ptr<sim::Device> device;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const link::Outcome outcome = m_interfaces.Write(handle, &target);
    if (outcome == link::Outcome::kStalled) {
      m_clock.Advance(timeoutMs);  // a write that never completes ends at its bound
      return false;
    }
    if (outcome != link::Outcome::kDone) return false;
    std::memcpy(m_written.emplace_back().data(), report, kReportSize);
    const auto found = m_devices.find(target.number);
    if (found != m_devices.end()) device = found->second;
  }
  // Unlocked: the device answers through its host, which takes the lock.
  if (device) {
    Host host(*this, target.path, target.number);
    device->OnOutput(report, host);
  }
  return true;
}

std::uint32_t FakeHidPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const std::uint64_t deadline = m_clock.NowMs() + timeoutMs;
  link::InterfaceTable::ReportBytes taken;
  std::uint64_t readableAt = 0;
  switch (m_interfaces.Read(handle, taken, deadline, &readableAt)) {
    case link::Outcome::kDone:
      m_clock.AdvanceTo(readableAt);
      std::memcpy(report, taken.data(), kReportSize);
      return kWaitReceived;
    case link::Outcome::kNoReport:
      m_clock.AdvanceTo(deadline);
      return kWaitTimeout;
    default:
      // A failed read costs a moment, as on a real system: code that retries failed reads
      // without a count of its own then meets its time bound and fails, instead of spinning.
      m_clock.Advance(1);
      return kWaitReadFailed;
  }
}

void FakeHidPort::Close(PortHandle handle) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_interfaces.Close(handle);
}

NotifyRegistration FakeHidPort::RegisterNotifications(NativeWindow window) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_registrations;
  m_window = window;
  return reinterpret_cast<NotifyRegistration>(0x5EED);
}

void FakeHidPort::UnregisterNotifications(NotifyRegistration) {}

}  // namespace kestro::testing
