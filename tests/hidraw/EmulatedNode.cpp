#include "tests/hidraw/EmulatedNode.h"

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "vhid/VhidReport.h"

namespace kestro::hidraw::testing {
namespace {

// A file's ring in the kernel has 64 slots, one always free: 63 reports. A report that finds
// the ring full is dropped.
constexpr std::size_t kRingReports = 63;
// The largest report the kernel takes in one write (HID_MAX_BUFFER_SIZE).
constexpr std::size_t kMaxWriteBytes = 4096;
// How long usbhid waits for a controller that does not take an output report
// (USB_CTRL_SET_TIMEOUT); the write then fails.
constexpr std::uint32_t kUsbWriteTimeoutMs = 5000;
constexpr std::uint32_t kBusUsb = 3;
// What the USB stack answers a GET_REPORT the controller does not know: a stall.
constexpr int kStalled = EPIPE;

// Our own calls on the terminal go around umockdev's preload, which would otherwise take them
// for the program's calls on the node.
// The caller's memory behind an ioctl's argument; what is written to it goes back to the caller
// when the call completes.
using CallerBuffer = std::unique_ptr<UMockdevIoctlData, decltype(&g_object_unref)>;
CallerBuffer Resolve(UMockdevIoctlData* argument, std::size_t bytes) {
  return CallerBuffer(umockdev_ioctl_data_resolve(argument, 0, bytes, nullptr), g_object_unref);
}

int RawOpen(const char* path, int flags) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags));
}
void RawClose(int fd) { syscall(SYS_close, fd); }

}  // namespace

EmulatedNode::EmulatedNode(NodePlace place, NodeIdentity identity,
                           std::shared_ptr<sim::Device> device, LoopThread& loop,
                           std::function<void()> unplug)
    : m_place(std::move(place)),
      m_identity(std::move(identity)),
      m_device(std::move(device)),
      m_loop(loop),
      m_unplug(std::move(unplug)) {}

EmulatedNode::~EmulatedNode() {
  if (m_terminal >= 0) RawClose(m_terminal);
}

bool EmulatedNode::AttachTo(UMockdevTestbed* testbed) {
  m_handler = umockdev_ioctl_base_new();
  g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(OnIoctl), this);
  g_signal_connect(m_handler, "handle-read", G_CALLBACK(OnRead), this);
  g_signal_connect(m_handler, "handle-write", G_CALLBACK(OnWrite), this);
  g_signal_connect(m_handler, "client-connected", G_CALLBACK(OnConnected), this);
  g_signal_connect(m_handler, "client-vanished", G_CALLBACK(OnVanished), this);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, m_place.devnode.c_str(), m_handler, &error)) {
    g_clear_error(&error);
    g_clear_object(&m_handler);
    return false;
  }
  return true;
}

bool EmulatedNode::TakeTerminal(UMockdevTestbed* testbed) {
  const int master = umockdev_testbed_get_dev_fd(testbed, m_place.devnode.c_str());
  if (master < 0) return false;
  // Not close-on-exec as umockdev leaves it: a program started now would hold the master and
  // the terminal would never hang up.
  fcntl(master, F_SETFD, fcntl(master, F_GETFD) | FD_CLOEXEC);
  char path[64];
  if (ptsname_r(master, path, sizeof path) != 0) return false;
  const int terminal = RawOpen(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (terminal < 0) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_master = master;
  m_terminal = terminal;
  m_terminalPath = path;
  return true;
}

void EmulatedNode::DetachFrom(UMockdevTestbed* testbed) {
  if (m_handler == nullptr) return;
  umockdev_testbed_detach_ioctl(testbed, m_place.devnode.c_str(), nullptr);
  g_signal_handlers_disconnect_by_data(m_handler, this);
  g_object_unref(m_handler);
  m_handler = nullptr;
}

bool EmulatedNode::SetAccessMode(unsigned mode) {
  return !m_terminalPath.empty() && chmod(m_terminalPath.c_str(), mode) == 0;
}

void EmulatedNode::MarkLocked() {
  if (m_marked || m_master < 0) return;
  const char marker = 'R';
  m_marked = syscall(SYS_write, m_master, &marker, 1) == 1;
}

void EmulatedNode::UnmarkLocked() {
  // Flushed even when no marker is known to be there: one written a moment before may have
  // been on its way through the terminal when the last flush came.
  if (m_terminal >= 0) syscall(SYS_ioctl, m_terminal, TCFLSH, TCIFLUSH);
  m_marked = false;
}

void EmulatedNode::QueueReport(const sim::Payload& payload) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_gone || m_reports.size() >= kRingReports) return;
  m_reports.emplace_back(payload, payload + sim::kPayloadSize);
  MarkLocked();
}

void EmulatedNode::WakeWithoutReport() {
  std::lock_guard<std::mutex> lock(m_mutex);
  MarkLocked();
}

std::vector<WrittenReport> EmulatedNode::Writes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_writes;
}

int EmulatedNode::OpenDescriptors() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_openDescriptors;
}

void EmulatedNode::MarkGone(Removal removal) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_gone) return;
  m_gone = true;
  if (removal == Removal::kKeepTerminal) return;
  // Hangs up the terminal: the master's last descriptor goes, while its number stays valid for
  // umockdev, which closes it with the testbed.
  if (m_master >= 0) {
    const int null = RawOpen("/dev/null", O_RDWR | O_CLOEXEC);
    syscall(SYS_dup3, null, m_master, O_CLOEXEC);
    RawClose(null);
  }
  if (m_terminal >= 0) RawClose(m_terminal);
  m_terminal = -1;
}

bool EmulatedNode::Gone() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_gone;
}

void EmulatedNode::SendInput(const sim::Payload& payload, std::uint32_t delayMs) {
  if (delayMs == 0) {
    QueueReport(payload);
    return;
  }
  std::vector<std::uint8_t> later(payload, payload + sim::kPayloadSize);
  m_loop.Post(
      [this, later] {
        sim::Payload bytes;
        std::memcpy(bytes, later.data(), sizeof bytes);
        QueueReport(bytes);
      },
      delayMs);
}

void EmulatedNode::Detach() { m_unplug(); }

void EmulatedNode::StopTakingOutput() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_stalled = true;
}

std::uint64_t EmulatedNode::NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - m_start)
                                        .count());
}

gboolean EmulatedNode::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto& node = *static_cast<EmulatedNode*>(self);
  if (node.Gone()) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return TRUE;
  }
  errno = 0;
  const long result =
      node.Answer(umockdev_ioctl_client_get_request(client), umockdev_ioctl_client_get_arg(client));
  umockdev_ioctl_client_complete(client, result, result < 0 ? errno : 0);
  return TRUE;
}

long EmulatedNode::Answer(unsigned long request, UMockdevIoctlData* argument) const {
  const auto fail = [](int error) {
    errno = error;
    return -1L;
  };
  const auto string = [&](const std::string& text) {
    // As much of the text as fits, its NUL counted, and the count returned.
    const std::size_t bytes =
        std::min(text.size() + 1, static_cast<std::size_t>(_IOC_SIZE(request)));
    const CallerBuffer buffer = Resolve(argument, bytes);
    if (!buffer) return fail(EFAULT);
    std::memcpy(buffer->data, text.c_str(), bytes);
    return static_cast<long>(bytes);
  };
  switch (request) {
    case HIDIOCGRAWINFO: {
      const CallerBuffer buffer = Resolve(argument, sizeof(hidraw_devinfo));
      if (!buffer) return fail(EFAULT);
      hidraw_devinfo answer{};
      answer.bustype = kBusUsb;
      answer.vendor = static_cast<__s16>(m_identity.vendorId);
      answer.product = static_cast<__s16>(m_identity.productId);
      std::memcpy(buffer->data, &answer, sizeof answer);
      return 0;
    }
    case HIDIOCGRDESCSIZE: {
      const CallerBuffer buffer = Resolve(argument, sizeof(int));
      if (!buffer) return fail(EFAULT);
      const int size = static_cast<int>(kVhidReportDescriptorBytes);
      std::memcpy(buffer->data, &size, sizeof size);
      return 0;
    }
    case HIDIOCGRDESC: {
      const CallerBuffer buffer = Resolve(argument, sizeof(hidraw_report_descriptor));
      if (!buffer) return fail(EFAULT);
      std::uint32_t wanted = 0;
      std::memcpy(&wanted, buffer->data, sizeof wanted);
      if (wanted > HID_MAX_DESCRIPTOR_SIZE - 1) return fail(EINVAL);
      std::memcpy(buffer->data + offsetof(hidraw_report_descriptor, value), kVhidReportDescriptor,
                  std::min<std::size_t>(wanted, kVhidReportDescriptorBytes));
      return 0;
    }
  }
  if (_IOC_TYPE(request) != 'H') return fail(EINVAL);
  const unsigned number = _IOC_NR(request);
  if (number == _IOC_NR(HIDIOCSFEATURE(0)) || number == _IOC_NR(HIDIOCGFEATURE(0))) {
    return fail(kStalled);
  }
  if (_IOC_DIR(request) == _IOC_READ) {
    if (number == _IOC_NR(HIDIOCGRAWNAME(0))) return string(m_identity.name);
    if (number == _IOC_NR(HIDIOCGRAWPHYS(0))) return string(m_identity.phys);
    if (number == _IOC_NR(HIDIOCGRAWUNIQ(0))) return string(m_identity.uniq);
  }
  return fail(ENOTTY);
}

gboolean EmulatedNode::OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto& node = *static_cast<EmulatedNode*>(self);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  long result = -1;
  int error = 0;
  {
    std::lock_guard<std::mutex> lock(node.m_mutex);
    if (node.m_reports.empty()) {
      node.UnmarkLocked();
      error = node.m_gone ? EIO : EAGAIN;  // the port opens its nodes non-blocking
    } else {
      // One report per read; a shorter read takes the report's first bytes, as the kernel's.
      const std::vector<std::uint8_t>& report = node.m_reports.front();
      const std::size_t count =
          std::min(report.size(), static_cast<std::size_t>(std::max(buffer->data_len, 0)));
      std::memcpy(buffer->data, report.data(), count);
      node.m_reports.pop_front();
      if (node.m_reports.empty()) node.UnmarkLocked();
      result = static_cast<long>(count);
    }
  }
  umockdev_ioctl_client_complete(client, result, error);
  return TRUE;
}

gboolean EmulatedNode::OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto& node = *static_cast<EmulatedNode*>(self);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  const std::size_t length = static_cast<std::size_t>(std::max(buffer->data_len, 0));
  std::shared_ptr<sim::Device> device;
  {
    std::lock_guard<std::mutex> lock(node.m_mutex);
    if (node.m_gone) {
      umockdev_ioctl_client_complete(client, -1, ENODEV);
      return TRUE;
    }
    if (length == 0 || length > kMaxWriteBytes) {
      umockdev_ioctl_client_complete(client, -1, EINVAL);
      return TRUE;
    }
    if (node.m_stalled) {
      // The controller answers every transfer with NAK until the USB stack gives up.
      std::shared_ptr<UMockdevIoctlClient> pending(
          static_cast<UMockdevIoctlClient*>(g_object_ref(client)), g_object_unref);
      node.m_loop.Post([pending] { umockdev_ioctl_client_complete(pending.get(), -1, ETIMEDOUT); },
                       kUsbWriteTimeoutMs);
      return TRUE;
    }
    node.m_writes.push_back({std::vector<std::uint8_t>(buffer->data, buffer->data + length),
                             std::chrono::steady_clock::now()});
    if (length == sim::kReportSize) device = node.m_device;
  }
  if (device) {
    // Unlocked: the controller answers through SendInput, which takes the lock.
    sim::OutputReport report;
    std::memcpy(report, buffer->data, sizeof report);
    device->OnOutput(report, node);
  }
  umockdev_ioctl_client_complete(client, static_cast<long>(length), 0);
  return TRUE;
}

void EmulatedNode::OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  auto& node = *static_cast<EmulatedNode*>(self);
  std::lock_guard<std::mutex> lock(node.m_mutex);
  ++node.m_openDescriptors;
}

void EmulatedNode::OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self) {
  auto& node = *static_cast<EmulatedNode*>(self);
  std::lock_guard<std::mutex> lock(node.m_mutex);
  // Reports wait in the queues of open descriptors; with the last one closed they are gone.
  if (--node.m_openDescriptors == 0) {
    node.m_reports.clear();
    node.UnmarkLocked();
  }
}

}  // namespace kestro::hidraw::testing
