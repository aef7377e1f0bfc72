#include "platform/hidraw/HidrawPort.h"

#include <fcntl.h>
#include <libudev.h>
#include <linux/hidraw.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/Diagnostics.h"

namespace kestro::hidraw {
namespace {

using Clock = std::chrono::steady_clock;

thread_local std::uint32_t t_lastError = 0;

void Fail(int error) { t_lastError = static_cast<std::uint32_t>(error); }

struct UdevEnumerateUnref {
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};
struct UdevDeviceUnref {
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevEnumeratePtr = std::unique_ptr<udev_enumerate, UdevEnumerateUnref>;
using UdevDevicePtr = std::unique_ptr<udev_device, UdevDeviceUnref>;

// Node paths are bytes. Each byte rides in one wide character, so that any path survives the
// trip through the seam whatever the locale.
std::wstring WidePath(const char* path) {
  std::wstring wide;
  for (const char* c = path; *c != '\0'; ++c) wide.push_back(static_cast<unsigned char>(*c));
  return wide;
}

// Empty when the path holds a character that no byte path can (such a node cannot exist).
std::string NarrowPath(const std::wstring& path) {
  std::string narrow;
  for (wchar_t c : path) {
    if (c <= 0 || c > 0xFF) return {};
    narrow.push_back(static_cast<char>(c));
  }
  return narrow;
}

// The vendor and product udev gives the node: the hid parent's HID_ID ("bus:vendor:product" in
// hex), else the idVendor and idProduct of the USB device it hangs from.
HidAttributes IdentityOf(udev_device* node) {
  HidAttributes identity;
  if (udev_device* hid = udev_device_get_parent_with_subsystem_devtype(node, "hid", nullptr)) {
    const char* hidId = udev_device_get_property_value(hid, "HID_ID");
    unsigned bus = 0, vendor = 0, product = 0;
    if (hidId != nullptr && std::sscanf(hidId, "%x:%x:%x", &bus, &vendor, &product) == 3) {
      identity.vendorId = static_cast<std::uint16_t>(vendor);
      identity.productId = static_cast<std::uint16_t>(product);
      return identity;
    }
  }
  if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device")) {
    const char* vendor = udev_device_get_sysattr_value(usb, "idVendor");
    const char* product = udev_device_get_sysattr_value(usb, "idProduct");
    if (vendor != nullptr && product != nullptr) {
      identity.vendorId = static_cast<std::uint16_t>(std::strtoul(vendor, nullptr, 16));
      identity.productId = static_cast<std::uint16_t>(std::strtoul(product, nullptr, 16));
    }
  }
  return identity;
}

// Rounded up: a wait never ends before its deadline.
int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

enum class Wait { kReady, kTimeout, kFailed };

// Waits until the node is ready for `events` or the deadline passes. A node that is gone wakes
// the wait with POLLERR/POLLHUP; that is a failure even when reports are still queued, since a
// report from a controller that is gone must not be taken for an answer. A signal cuts the wait
// short; it goes on with the time left unless the port was aborted.
Wait WaitFor(int fd, short events, Clock::time_point deadline, const std::atomic<bool>& aborted) {
  for (;;) {
    if (aborted.load()) {
      Fail(ECANCELED);
      return Wait::kFailed;
    }
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, RemainingMs(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return Wait::kFailed;
    }
    if (ready == 0) {
      if (Clock::now() < deadline) continue;  // poll's clock ran ahead of ours
      return Wait::kTimeout;
    }
    if ((entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      Fail((entry.revents & POLLNVAL) != 0 ? EBADF : ENODEV);
      return Wait::kFailed;
    }
    if ((entry.revents & events) != 0) return Wait::kReady;
  }
}

}  // namespace

HidrawPort::HidrawPort() : m_udev(udev_new()) {}

HidrawPort::~HidrawPort() {
  if (m_udev != nullptr) udev_unref(m_udev);
}

std::vector<std::wstring> HidrawPort::EnumerateInterfaces() {
  std::vector<std::wstring> paths;
  std::vector<Denied> identities;
  if (m_udev != nullptr) {
    UdevEnumeratePtr enumerate(udev_enumerate_new(m_udev));
    if (enumerate && udev_enumerate_add_match_subsystem(enumerate.get(), "hidraw") >= 0 &&
        udev_enumerate_scan_devices(enumerate.get()) >= 0) {
      udev_list_entry* entry;
      udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
        UdevDevicePtr node(udev_device_new_from_syspath(m_udev, udev_list_entry_get_name(entry)));
        if (!node) continue;  // gone since the scan
        const char* devnode = udev_device_get_devnode(node.get());
        if (devnode == nullptr) continue;
        paths.push_back(WidePath(devnode));
        identities.push_back({paths.back(), IdentityOf(node.get())});
      }
    }
  }
  std::lock_guard<std::mutex> lock(m_lock);
  m_identities = std::move(identities);
  m_denied.clear();
  return paths;
}

PortHandle HidrawPort::Open(const std::wstring& path, PortAccess access) {
  // Non-blocking, so that a read that finds nothing after all returns to its bounded wait
  // instead of blocking; every wait is poll's.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (access) {
    case PortAccess::ProbeReadWrite:
      flags |= O_RDWR;
      break;
    case PortAccess::Write:
      flags |= O_WRONLY;
      break;
    case PortAccess::Read:
      flags |= O_RDONLY;
      break;
  }
  const std::string node = NarrowPath(path);
  if (node.empty()) {
    Fail(ENOENT);
    return kNoHandle;
  }
  int fd;
  do {
    fd = ::open(node.c_str(), flags);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) return fd;

  const int error = errno;
  Fail(error);
  if (error == EACCES || error == EPERM) {
    DebugLine(L"hidraw: no permission to open %ls", path.c_str());
    std::lock_guard<std::mutex> lock(m_lock);
    bool noted = false;
    for (const Denied& denied : m_denied) noted = noted || denied.path == path;
    if (!noted) {
      Denied denied{path, {}};
      for (const Denied& known : m_identities) {
        if (known.path == path) denied.attributes = known.attributes;
      }
      m_denied.push_back(denied);
    }
  }
  return kNoHandle;
}

bool HidrawPort::GetAttributes(PortHandle handle, HidAttributes& attributes) {
  hidraw_devinfo info{};
  if (::ioctl(static_cast<int>(handle), HIDIOCGRAWINFO, &info) < 0) {
    Fail(errno);
    return false;
  }
  // The kernel keeps the ids in signed 16-bit fields.
  attributes.vendorId = static_cast<std::uint16_t>(info.vendor);
  attributes.productId = static_cast<std::uint16_t>(info.product);
  return true;
}

bool HidrawPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  const int fd = static_cast<int>(handle);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    switch (WaitFor(fd, POLLOUT, deadline, m_aborted)) {
      case Wait::kTimeout:
        Fail(ETIMEDOUT);
        return false;
      case Wait::kFailed:
        return false;
      case Wait::kReady:
        break;
    }
    const ssize_t written = ::write(fd, report, kReportSize);
    if (written == static_cast<ssize_t>(kReportSize)) return true;
    if (written < 0 && (errno == EAGAIN || errno == EINTR)) continue;  // nothing went out
    // A report cut short is not a report; the node says why, or it is gone.
    Fail(written < 0 ? errno : EIO);
    return false;
  }
}

std::uint32_t HidrawPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  const int fd = static_cast<int>(handle);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    switch (WaitFor(fd, POLLIN, deadline, m_aborted)) {
      case Wait::kTimeout:
        return kWaitTimeout;
      case Wait::kFailed:
        return kWaitReadFailed;
      case Wait::kReady:
        break;
    }
    // The node hands out one input report per read, without a report id: the controller has
    // none, so the report is placed behind id 0 as CHid expects it.
    std::uint8_t payload[kPayloadSize];
    const ssize_t got = ::read(fd, payload, sizeof payload);
    if (got > 0) {
      report[0] = 0;
      std::memcpy(report + 1, payload, static_cast<std::size_t>(got));
      std::memset(report + 1 + got, 0, kPayloadSize - static_cast<std::size_t>(got));
      return kWaitReceived;
    }
    if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;  // nothing after all
    // EIO or ENODEV: the controller is gone; a read of nothing is never a report either.
    Fail(got < 0 ? errno : EIO);
    return kWaitReadFailed;
  }
}

void HidrawPort::Close(PortHandle handle) {
  if (handle != kNoHandle) ::close(static_cast<int>(handle));
}

std::uint32_t HidrawPort::LastError() { return t_lastError; }

std::vector<HidrawPort::Denied> HidrawPort::DeniedNodes() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_denied;
}

HidrawMonitor::HidrawMonitor() : m_udev(udev_new()) {
  if (m_udev == nullptr) return;
  udev_monitor* monitor = udev_monitor_new_from_netlink(m_udev, "udev");
  if (monitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(monitor) < 0) {
    udev_monitor_unref(monitor);
    return;
  }
  m_monitor = monitor;
}

HidrawMonitor::~HidrawMonitor() {
  if (m_monitor != nullptr) udev_monitor_unref(m_monitor);
  if (m_udev != nullptr) udev_unref(m_udev);
}

bool HidrawMonitor::WaitForChange(std::uint32_t timeoutMs) {
  if (m_monitor == nullptr) return false;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pollfd entry{udev_monitor_get_fd(m_monitor), POLLIN, 0};
    // A signal ends the wait early as well, so that the front can see to whatever it meant.
    if (::poll(&entry, 1, RemainingMs(deadline)) <= 0) return false;
    if ((entry.revents & POLLIN) == 0) return false;  // the monitor itself failed
    // Everything queued is taken at once: one look at the interfaces answers all of it.
    bool changed = false;
    while (UdevDevicePtr device{udev_monitor_receive_device(m_monitor)}) {
      const char* action = udev_device_get_action(device.get());
      if (action != nullptr &&
          (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0)) {
        changed = true;
      }
    }
    if (changed) return true;
  }
}

}  // namespace kestro::hidraw
