// The HID port over Linux's hidraw: the controller's interfaces are /dev/hidrawN nodes, found
// through udev, each report one write of 65 bytes or one read of 64, every wait bounded by poll.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/HidPort.h"

// libudev's types, declared at global scope so that every file means the same ones.
struct udev;
struct udev_monitor;

namespace kestro::hidraw {

// The longest a write to a USB hidraw node can block: usbhid sends an output report with the USB
// core's control time-out (USB_CTRL_SET_TIMEOUT, 5 s) and fails it with ETIMEDOUT after that.
inline constexpr std::uint32_t kKernelWriteBoundMs = 5000;

class HidrawPort : public HidPort {
 public:
  HidrawPort();
  ~HidrawPort() override;
  HidrawPort(const HidrawPort&) = delete;
  HidrawPort& operator=(const HidrawPort&) = delete;

  // The /dev/hidrawN nodes of the present hidraw devices, in udev's enumeration order.
  std::vector<std::wstring> EnumerateInterfaces() override;
  PortHandle Open(const std::wstring& path, PortAccess access) override;
  // HIDIOCGRAWINFO's vendor and product.
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override;
  // One write of all 65 bytes. timeoutMs bounds only the wait for poll, which on a USB hidraw
  // node always says writable: the write itself ignores O_NONBLOCK and waits, uninterruptibly,
  // until the controller takes the report or usbhid gives up (kKernelWriteBoundMs). That is the
  // real bound of a write here, and no signal or abort cuts it short.
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  // poll, then one read of one 64-byte report behind report id 0. A node that is gone (POLLERR,
  // POLLHUP, EIO) is a failed read, never a report.
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
  void Close(PortHandle handle) override;
  // The terminal front follows udev itself (HidrawMonitor); nothing to register.
  NotifyRegistration RegisterNotifications(NativeWindow) override { return nullptr; }
  void UnregisterNotifications(NotifyRegistration) override {}
  // errno of this thread's last failed call.
  std::uint32_t LastError() override;

  // The identities udev gave for nodes that could not be opened for want of permission, since
  // the last enumeration: the user needs the udev rule.
  struct Denied {
    std::wstring path;
    HidAttributes attributes;
  };
  std::vector<Denied> DeniedNodes() const;

  void Abort() override { m_aborted.store(true); }

 private:
  struct udev* m_udev = nullptr;
  // Guards m_denied and m_identities: a worker's Open may race the front's DeniedNodes.
  mutable std::mutex m_lock;
  std::vector<Denied> m_denied;
  // The identity udev gave each node at the last enumeration, for DeniedNodes.
  std::vector<Denied> m_identities;
  std::atomic<bool> m_aborted{false};
};

// Follows udev's hidraw add and remove events, for a front that waits for a controller.
class HidrawMonitor {
 public:
  HidrawMonitor();
  ~HidrawMonitor();
  HidrawMonitor(const HidrawMonitor&) = delete;
  HidrawMonitor& operator=(const HidrawMonitor&) = delete;

  bool Ready() const { return m_monitor != nullptr; }
  // Waits at most timeoutMs for the next hidraw add or remove; true when one came.
  bool WaitForChange(std::uint32_t timeoutMs);

 private:
  struct udev* m_udev = nullptr;
  struct udev_monitor* m_monitor = nullptr;
};

}  // namespace kestro::hidraw
