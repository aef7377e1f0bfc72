#include "hid/Hid.h"

#include <algorithm>
#include <cstring>
#include <cwctype>

#include "platform/Diagnostics.h"

namespace kestro {

std::atomic<std::uint32_t> DeviceKind{kDeviceKindNormal};

namespace {

// Shared by every write; bytes behind the copied ones keep what earlier reports put there.
std::uint8_t g_outputReport[kReportSize] = {};

}  // namespace

bool IsSupportedController(const HidAttributes& a) {
  if (a.vendorId == kVendorSt) return a.productId == kProductNormal;
  if (a.vendorId == kVendorKestro) {
    return a.productId == kProductNormal || a.productId == kProductBoot;
  }
  return false;
}

CHid::CHid(HidPort& port) : m_port(port) {}

CHid::~CHid() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (m_DeviceNotify) {
    m_port.UnregisterNotifications(m_DeviceNotify);
    m_DeviceNotify = nullptr;
  }
  CloseHandles();
}

void CHid::CloseHandles() {
  m_WriteHandle.Reset();
  m_ReadHandle.Reset();
}

namespace {

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](wchar_t x, wchar_t y) {
    return std::towlower(static_cast<std::wint_t>(x)) == std::towlower(static_cast<std::wint_t>(y));
  });
}

}  // namespace

OwnedHandle CHid::Search() {
  for (const std::wstring& path : m_port.EnumerateInterfaces()) {
    if (!m_OnlyPath.empty() && !SamePath(path, m_OnlyPath)) continue;
    OwnedHandle probe(m_port, m_port.Open(path, PortAccess::ProbeReadWrite));
    if (!probe.IsOpen()) continue;
    HidAttributes attributes;
    if (!m_port.GetAttributes(probe.Get(), attributes) || !IsSupportedController(attributes))
      continue;
    m_DevicePath = path;
    m_DeviceAttributes = attributes;
    DebugLine(L"m_DevicePath:%ls", path.c_str());
    const bool boot = attributes.vendorId == kVendorKestro && attributes.productId == kProductBoot;
    DeviceKind = boot ? kDeviceKindBoot : kDeviceKindNormal;
    return probe;
  }
  return {};
}

int CHid::FindDevice() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  const bool wasPresent = m_DevicePresent.load() != 0;
  const std::wstring previousPath = m_DevicePath;
  OwnedHandle probe = Search();
  if (!probe.IsOpen() || !wasPresent || m_DevicePath != previousPath) ++m_Connection;
  if (!m_NotificationsRegistered) {
    RegisterDeviceNotifications();
    m_NotificationsRegistered = 1;
  }
  m_DevicePresent = probe.IsOpen() ? 1 : 0;
  return probe.IsOpen() ? 1 : 0;  // the probe handle closes here
}

int CHid::OpenDevice() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  CloseHandles();
  m_WriteHandle = OwnedHandle(m_port, m_port.Open(m_DevicePath, PortAccess::Write));
  if (!m_WriteHandle.IsOpen()) return 0;
  m_ReadHandle = OwnedHandle(m_port, m_port.Open(m_DevicePath, PortAccess::Read));
  if (!m_ReadHandle.IsOpen()) return 0;
  m_ReadTimeout = kOpenedReadTimeoutMs;
  return 1;
}

int CHid::WriteReport(const std::uint8_t* source, std::uint8_t count) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (count > kPayloadSize) count = kPayloadSize;
  g_outputReport[0] = 0;
  if (count > 0) std::memcpy(g_outputReport + 1, source, count);
  if (!m_WriteHandle.IsOpen()) return 0;
  return m_port.Write(m_WriteHandle.Get(), g_outputReport, kWriteTimeoutMs) ? 1 : 0;
}

std::uint32_t CHid::ReadReport(std::uint8_t* destination, std::uint8_t count) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  if (!m_ReadHandle.IsOpen()) return kWaitNotOpen;
  Report report = {};
  const std::uint32_t result = m_port.Read(m_ReadHandle.Get(), report, m_ReadTimeout);
  if (result == kWaitReceived && count > 0) {
    if (count > kPayloadSize) count = kPayloadSize;
    std::memcpy(destination, report + 1, count);
  }
  return result;
}

void CHid::SetReadTimeout(std::uint32_t milliseconds) { m_ReadTimeout = milliseconds; }

bool CHid::RegisterDeviceNotifications() {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  m_DeviceNotify = m_port.RegisterNotifications(m_NotifyWindow);
  return m_DeviceNotify != nullptr;
}

std::wstring CHid::DevicePath() const {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return m_DevicePath;
}

HidAttributes CHid::DeviceAttributes() const {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  return m_DeviceAttributes;
}

void CHid::LimitTo(std::wstring path) {
  std::lock_guard<std::recursive_mutex> lock(m_lock);
  m_OnlyPath = std::move(path);
}

void CHid::CopyOutputReport(std::uint8_t (&report)[kReportSize]) {
  std::memcpy(report, g_outputReport, kReportSize);
}

void CHid::ClearOutputReport() { std::memset(g_outputReport, 0, kReportSize); }

}  // namespace kestro
