#include "tests/support/FakeHidPort.h"

#include <algorithm>
#include <cstring>

namespace kestro::testing {

// Lets an emulated controller answer through the port that hosts it.
class FakeHidPort::Host : public sim::DeviceHost {
 public:
  Host(FakeHidPort& port, std::wstring path) : m_port(port), m_path(std::move(path)) {}
  void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override {
    m_port.QueueInput(m_path, payload, delayMs);
  }
  void Detach() override { m_port.Detach(m_path); }
  void StopTakingOutput() override { m_port.SetWritesFail(m_path, true); }
  std::uint64_t NowMs() override { return m_port.m_clock.NowMs(); }

 private:
  FakeHidPort& m_port;
  std::wstring m_path;
};

FakeHidPort::Interface* FakeHidPort::FindInterface(const std::wstring& path) {
  for (auto& i : m_interfaces) {
    if (i.path == path && i.attached) return &i;
  }
  return nullptr;
}

void FakeHidPort::Attach(const std::wstring& path, std::uint16_t vid, std::uint16_t pid,
                         std::shared_ptr<sim::Device> device) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  Interface i;
  i.path = path;
  i.attributes = {vid, pid};
  i.device = std::move(device);
  m_interfaces.push_back(std::move(i));
}

void FakeHidPort::AttachDevice(const std::wstring& path, std::shared_ptr<sim::Device> device) {
  const std::uint16_t vid = device->VendorId();
  const std::uint16_t pid = device->ProductId();
  Attach(path, vid, pid, std::move(device));
}

void FakeHidPort::SetOpenFails(const std::wstring& path, bool fails) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (Interface* i = FindInterface(path)) i->openFails = fails;
}

void FakeHidPort::SetAttributesFail(const std::wstring& path, bool fails) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (Interface* i = FindInterface(path)) i->attributesFail = fails;
}

void FakeHidPort::SetWritesFail(const std::wstring& path, bool fails) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (Interface* i = FindInterface(path)) i->writesFail = fails;
}

void FakeHidPort::Detach(const std::wstring& path) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  if (Interface* i = FindInterface(path)) i->attached = false;
}

void FakeHidPort::Input(const std::wstring& path, const std::uint8_t (&payload)[kPayloadSize],
                        std::uint32_t delayMs) {
  QueueInput(path, payload, delayMs);
}

void FakeHidPort::QueueInput(const std::wstring& path, const std::uint8_t* payload,
                             std::uint32_t delayMs) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::uint8_t> report(kReportSize, 0);
  std::memcpy(report.data() + 1, payload, kPayloadSize);
  for (auto& [id, handle] : m_handles) {
    if (handle.path != path || handle.access == PortAccess::Write) continue;
    // Reports keep their order even when an earlier one is late.
    std::uint64_t due = m_clock.NowMs() + delayMs;
    if (!handle.queue.empty()) due = std::max(due, handle.queue.back().due);
    handle.queue.push_back({due, report});
    if (handle.queue.size() > 32) handle.queue.pop_front();
  }
}

std::vector<std::vector<std::uint8_t>> FakeHidPort::Written() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_written;
}

int FakeHidPort::Registrations() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_registrations;
}

int FakeHidPort::OpenHandles() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return static_cast<int>(m_handles.size());
}

NativeWindow FakeHidPort::RegisteredWindow() const {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  return m_window;
}

std::vector<std::wstring> FakeHidPort::EnumerateInterfaces() {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  std::vector<std::wstring> paths;
  for (const auto& i : m_interfaces) {
    if (i.attached) paths.push_back(i.path);
  }
  return paths;
}

PortHandle FakeHidPort::Open(const std::wstring& path, PortAccess access) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  Interface* i = FindInterface(path);
  if (!i || i->openFails) return kNoHandle;
  const PortHandle id = m_nextHandle++;
  m_handles[id] = Handle{path, access, {}};
  return id;
}

bool FakeHidPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = m_handles.find(handle);
  if (it == m_handles.end()) return false;
  Interface* i = FindInterface(it->second.path);
  if (!i || i->attributesFail) return false;
  attributes = i->attributes;
  return true;
}

bool FakeHidPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  std::shared_ptr<sim::Device> device;
  std::wstring path;
  {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second.access == PortAccess::Read) return false;
    Interface* i = FindInterface(it->second.path);
    if (!i) return false;
    if (i->writesFail) {
      m_clock.Advance(timeoutMs);  // a write that never completes ends at its bound
      return false;
    }
    m_written.emplace_back(report, report + kReportSize);
    device = i->device;
    path = i->path;
  }
  if (device) {
    Host host(*this, path);
    device->OnOutput(report, host);
  }
  return true;
}

std::uint32_t FakeHidPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  auto it = m_handles.find(handle);
  if (it == m_handles.end() || it->second.access == PortAccess::Write) return kWaitReadFailed;
  if (!FindInterface(it->second.path)) return kWaitReadFailed;
  auto& queue = it->second.queue;
  const std::uint64_t deadline = m_clock.NowMs() + timeoutMs;
  if (!queue.empty() && queue.front().due <= deadline) {
    m_clock.AdvanceTo(queue.front().due);
    std::memcpy(report, queue.front().report.data(), kReportSize);
    queue.pop_front();
    return kWaitReceived;
  }
  m_clock.AdvanceTo(deadline);
  return kWaitTimeout;
}

void FakeHidPort::Close(PortHandle handle) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  m_handles.erase(handle);
}

NotifyRegistration FakeHidPort::RegisterNotifications(NativeWindow window) {
  std::lock_guard<std::recursive_mutex> lock(m_mutex);
  ++m_registrations;
  m_window = window;
  return reinterpret_cast<NotifyRegistration>(0x5EED);
}

void FakeHidPort::UnregisterNotifications(NotifyRegistration) {}

}  // namespace kestro::testing
