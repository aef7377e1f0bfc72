// A umockdev testbed holding emulated hidraw devices: each a USB device, its interface, the HID
// device and the hidraw node, as udev shows a controller. Creating one points this process and
// the programs it starts (under umockdev-wrapper) at the testbed instead of the real /sys and
// /dev.
#pragma once

#include <umockdev.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Device.h"
#include "tests/hidraw/EmulatedNode.h"
#include "tests/hidraw/LoopThread.h"

namespace kestro::hidraw::testing {

// Where udev has a node's vendor and product from.
enum class IdentitySource {
  kHidId,      // the hid parent's HID_ID (and the USB device's ids)
  kUsbDevice,  // only the USB device's idVendor and idProduct
};

struct DeviceToPlug {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::shared_ptr<sim::Device> device;  // none: a node that only records writes
  IdentitySource identity = IdentitySource::kHidId;
};

class HidrawTestbed {
 public:
  HidrawTestbed();
  ~HidrawTestbed();
  HidrawTestbed(const HidrawTestbed&) = delete;
  HidrawTestbed& operator=(const HidrawTestbed&) = delete;

  // False when the test does not run under umockdev-wrapper.
  bool Ready() const { return m_ready; }

  // Plugs in a device: its "add" uevents go out, the node answers at once. Nodes are numbered
  // in order (/dev/hidraw0, 1, ...); a number is never used twice. Null when umockdev refused.
  std::shared_ptr<EmulatedNode> Plug(const DeviceToPlug& plugged);
  std::shared_ptr<EmulatedNode> Plug(std::shared_ptr<sim::Device> device);
  // The "remove" uevent, the device gone from sysfs and /dev, and its node's descriptors failing.
  void Unplug(EmulatedNode& node);
  // How the nodes unplugged from now on show it on their terminals; kHangUp unless set.
  void SetRemoval(Removal removal);
  void UnplugAfter(const std::shared_ptr<EmulatedNode>& node, std::uint32_t delayMs);
  void SendUevent(EmulatedNode& node, const char* action);

  // A testbed belongs to the user who made it; this lets a program run as another user find
  // and open its nodes (where their access modes allow).
  void OpenToAllUsers();

  LoopThread& Loop() { return *m_loop; }

 private:
  UMockdevTestbed* m_testbed = nullptr;
  bool m_ready = false;
  std::string m_root;
  std::unique_ptr<LoopThread> m_loop;
  std::mutex m_mutex;  // one testbed change at a time: the test's thread or the loop's
  std::vector<std::shared_ptr<EmulatedNode>> m_nodes;
  int m_nextNumber = 0;
  bool m_closing = false;
  Removal m_removal = Removal::kHangUp;
};

}  // namespace kestro::hidraw::testing
