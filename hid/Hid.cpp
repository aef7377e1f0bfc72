#include "hid/Hid.h"

#include <cstring>

#include "platform/Diagnostics.h"

namespace kestro {

std::atomic<std::uint32_t> DeviceKind{kDeviceKindNormal};

namespace {

// Shared by every write; bytes behind the copied ones keep what earlier reports put there.
std::uint8_t g_outputReport[kReportSize] = {};

bool IsSupported(const HidAttributes& a) {
  if (a.vendorId == kVendorSt) return a.productId == kProductNormal;
  if (a.vendorId == kVendorKestro) {
    return a.productId == kProductNormal || a.productId == kProductBoot;
  }
  return false;
}

}  // namespace

CHid::CHid() = default;

CHid::~CHid() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_DeviceNotify) {
    Port().UnregisterNotifications(m_DeviceNotify);
    m_DeviceNotify = nullptr;
  }
  CloseHandles();
}

void CHid::CloseHandles() {
  if (m_WriteHandle != kNoHandle) {
    Port().Close(m_WriteHandle);
    m_WriteHandle = kNoHandle;
  }
  if (m_ReadHandle != kNoHandle) {
    Port().Close(m_ReadHandle);
    m_ReadHandle = kNoHandle;
  }
}

CHid::Found CHid::Search() {
  HidPort& port = Port();
  for (const std::wstring& path : port.EnumerateInterfaces()) {
    PortHandle handle = port.Open(path, PortAccess::ProbeReadWrite);
    if (handle == kNoHandle) continue;
    HidAttributes attributes;
    if (!port.GetAttributes(handle, attributes) || !IsSupported(attributes)) {
      port.Close(handle);
      continue;
    }
    m_DevicePath = path;
    DebugLine(L"m_DevicePath:%ls", path.c_str());
    const bool boot = attributes.vendorId == kVendorKestro && attributes.productId == kProductBoot;
    DeviceKind = boot ? kDeviceKindBoot : kDeviceKindNormal;
    return {true, handle};
  }
  return {};
}

int CHid::FindDevice() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  Found found = Search();
  if (!m_NotificationsRegistered) {
    RegisterDeviceNotifications();
    m_NotificationsRegistered = 1;
  }
  if (found.found) {
    m_DevicePresent = 1;
    Port().Close(found.probe);
    return 1;
  }
  m_DevicePresent = 0;
  return 0;
}

int CHid::OpenDevice() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CloseHandles();
  HidPort& port = Port();
  m_WriteHandle = port.Open(m_DevicePath, PortAccess::Write);
  if (m_WriteHandle == kNoHandle) return 0;
  m_ReadHandle = port.Open(m_DevicePath, PortAccess::Read);
  if (m_ReadHandle == kNoHandle) return 0;
  m_ReadTimeout = kOpenedReadTimeoutMs;
  return 1;
}

int CHid::WriteReport(const std::uint8_t* source, std::uint8_t count) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (count > kPayloadSize) count = kPayloadSize;
  g_outputReport[0] = 0;
  if (count > 0) std::memcpy(g_outputReport + 1, source, count);
  if (m_WriteHandle == kNoHandle) return 0;
  return Port().Write(m_WriteHandle, g_outputReport, kWriteTimeoutMs) ? 1 : 0;
}

std::uint32_t CHid::ReadReport(std::uint8_t* destination, std::uint8_t count) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_ReadHandle == kNoHandle) return kWaitNotOpen;
  Report report = {};
  const std::uint32_t result = Port().Read(m_ReadHandle, report, m_ReadTimeout);
  if (result == kWaitReceived && count > 0) {
    if (count > kPayloadSize) count = kPayloadSize;
    std::memcpy(destination, report + 1, count);
  }
  return result;
}

void CHid::SetReadTimeout(std::uint32_t milliseconds) { m_ReadTimeout = milliseconds; }

bool CHid::RegisterDeviceNotifications() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  m_DeviceNotify = Port().RegisterNotifications(m_NotifyWindow);
  return m_DeviceNotify != nullptr;
}

std::wstring CHid::DevicePath() const {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return m_DevicePath;
}

void CHid::CopyOutputReport(std::uint8_t (&report)[kReportSize]) {
  std::memcpy(report, g_outputReport, kReportSize);
}

void CHid::ClearOutputReport() { std::memset(g_outputReport, 0, kReportSize); }

}  // namespace kestro
