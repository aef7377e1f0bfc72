// One emulated /dev/hidrawN: the test side of the program's calls on the node, answered through
// umockdev as the kernel's hidraw driver answers them, with an emulated controller behind it.
//
// - HIDIOCGRAWINFO gives bus USB and the node's vendor and product; HIDIOCGRAWNAME, HIDIOCGRAWPHYS
//   and HIDIOCGRAWUNIQ its strings (at most the buffer's size, the NUL counted, and that count
//   returned); HIDIOCGRDESCSIZE and HIDIOCGRDESC the controller's report descriptor. Feature
//   reports fail with EPIPE (the controller has none and stalls the request), other requests of
//   type 'H' with ENOTTY, and those of any other type (evdev's EVIOCGBIT, which Wine's bus probes
//   with) with EINVAL.
// - Each write is one output report, taken whole; a 65-byte one goes to the controller. A write
//   ignores O_NONBLOCK: one the controller does not take waits for the USB time-out (5 s) and
//   fails with ETIMEDOUT, and no signal cuts it short (umockdev blocks signals while the program
//   waits for our answer). poll always says the node is writable.
// - Each read hands out one 64-byte input report, oldest first; none queued: EAGAIN. The kernel
//   keeps a ring of 64 slots, 63 reports, for each open file, and drops the newest report for a
//   file whose ring is full. umockdev tells of an open file only at its first call, and not of its
//   close, so the node keeps one such ring: what a program sees that reads through one file at a
//   time, as every program here does (reports a closed file left unread stay for the next one).
// - Gone (unplugged): reports queued before can still be read, as from the kernel, then reads
//   fail with EIO; writes and ioctls fail with ENODEV. The terminal that stands for the node is
//   hung up, so that poll says POLLERR|POLLHUP (unlike the kernel, the hung-up terminal says
//   POLLIN too when nothing is queued), unless the removal keeps it (Removal::kKeepTerminal).
//
// umockdev backs a node without contents with a pseudo-terminal and does not intercept poll, so
// poll acts on that terminal: one marker byte sits in it while reports are queued (POLLIN), and is
// flushed when the queue runs empty. The program's reads never reach the terminal.
#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "tests/hidraw/LoopThread.h"

namespace kestro::hidraw::testing {

struct NodePlace {
  std::string devnode;        // /dev/hidrawN
  std::string nodeSyspath;    // the hidraw device in the mock sysfs
  std::string deviceSyspath;  // the USB device it hangs from, removed with all below it
};

// What the kernel knows of the HID device behind a node, as its ioctls tell it.
struct NodeIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::string name;  // the USB manufacturer and product strings, or "HID vvvv:pppp" without them
  std::string phys;  // where it is plugged: usb-<host controller>-<port>/input<interface>
  std::string uniq;  // the USB serial number
};

// How an unplug shows on the node's terminal.
enum class Removal {
  // Hung up, so that a program polling the node wakes with POLLHUP, as from the kernel.
  kHangUp,
  // Left alone. Wine's device host (winedevice.exe, which runs its HID bus winebus) is a session
  // leader and opens the node without O_NOCTTY, so the terminal becomes its controlling terminal:
  // a hang-up would send it SIGHUP and end the bus silently. winebus acts on the udev "remove"
  // event instead, and closes the node itself.
  kKeepTerminal,
};

struct WrittenReport {
  std::vector<std::uint8_t> bytes;  // exactly as the program wrote them
  std::chrono::steady_clock::time_point at;
};

class EmulatedNode : public sim::DeviceHost {
 public:
  // `unplug` is called when the controller detaches itself, on umockdev's worker thread.
  EmulatedNode(NodePlace place, NodeIdentity identity, std::shared_ptr<sim::Device> device,
               LoopThread& loop, std::function<void()> unplug);
  ~EmulatedNode() override;
  EmulatedNode(const EmulatedNode&) = delete;
  EmulatedNode& operator=(const EmulatedNode&) = delete;

  // Before the node is added, so that no program ever finds it unanswered.
  bool AttachTo(UMockdevTestbed* testbed);
  // Once the node is added: takes hold of the terminal that stands for it.
  bool TakeTerminal(UMockdevTestbed* testbed);
  // Stops answering; before the testbed goes.
  void DetachFrom(UMockdevTestbed* testbed);

  const NodePlace& Place() const { return m_place; }
  const std::string& TerminalPath() const { return m_terminalPath; }
  // Who may open the node: the terminal's file mode.
  bool SetAccessMode(unsigned mode);

  // An input report, readable at once, as if the controller had sent it.
  void QueueReport(const sim::Payload& payload);
  // Makes poll say POLLIN with no report to read: a reader must take the read's EAGAIN for
  // nothing, not for a failure.
  void WakeWithoutReport();
  std::vector<WrittenReport> Writes() const;
  int OpenDescriptors() const;
  // The kernel's side of an unplug: from now on every call fails; the terminal hangs up unless
  // the removal keeps it.
  void MarkGone(Removal removal = Removal::kHangUp);
  bool Gone() const;

  // sim::DeviceHost
  void SendInput(const sim::Payload& payload, std::uint32_t delayMs) override;
  void Detach() override;
  void StopTakingOutput() override;
  std::uint64_t NowMs() override;

 private:
  static gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  // A request the kernel's hidraw driver answers: its result, with errno set when it is -1.
  long Answer(unsigned long request, UMockdevIoctlData* argument) const;
  static gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
  static void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self);
  static void OnVanished(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer self);
  // With m_mutex held.
  void MarkLocked();
  void UnmarkLocked();

  const NodePlace m_place;
  const NodeIdentity m_identity;
  const std::shared_ptr<sim::Device> m_device;
  LoopThread& m_loop;
  const std::function<void()> m_unplug;
  const std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  UMockdevIoctlBase* m_handler = nullptr;

  mutable std::mutex m_mutex;
  std::deque<std::vector<std::uint8_t>> m_reports;
  std::vector<WrittenReport> m_writes;
  int m_openDescriptors = 0;
  bool m_gone = false;
  bool m_stalled = false;
  bool m_marked = false;
  int m_master = -1;    // the terminal's master side: umockdev's, written to set the marker
  int m_terminal = -1;  // our own descriptor of the terminal, to flush the marker
  std::string m_terminalPath;
};

}  // namespace kestro::hidraw::testing
