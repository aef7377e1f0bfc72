#include "tests/hidraw/HidrawTestbed.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "vhid/VhidReport.h"

namespace kestro::hidraw::testing {
namespace {

constexpr char kHostController[] = "0000:00:14.0";

std::string Hex4(std::uint16_t value, bool lower = false) {
  char text[8];
  std::snprintf(text, sizeof text, lower ? "%04x" : "%04X", value);
  return text;
}

// The controller's interface as its descriptor describes it: a vendor-defined collection of one
// 64-byte input and one 64-byte output report, without report ids (the virtual HID device's).
std::string ReportDescriptorHex() {
  std::string hex;
  for (std::size_t i = 0; i < kVhidReportDescriptorBytes; ++i) {
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", kVhidReportDescriptor[i]);
    hex += digits;
  }
  return hex;
}

// As usbhid names a device: it has no manufacturer or product string, so the ids; the path to
// its port and the interface's number; the serial number.
NodeIdentity IdentityOf(const DeviceToPlug& plugged, int number) {
  NodeIdentity identity;
  identity.vendorId = plugged.vendorId;
  identity.productId = plugged.productId;
  identity.name = "HID " + Hex4(plugged.vendorId, true) + ":" + Hex4(plugged.productId, true);
  identity.phys =
      std::string("usb-") + kHostController + "-" + std::to_string(number + 1) + "/input0";
  identity.uniq = "KT" + std::to_string(1000 + number);
  return identity;
}

// The records of one device as umockdev-record writes them: the USB device, its interface, the
// HID device and the hidraw node.
std::string DeviceRecords(const NodePlace& place, const std::string& usbPath,
                          const std::string& hidPath, const std::string& nodePath, int number,
                          const DeviceToPlug& plugged, const NodeIdentity& identity) {
  std::string records;
  records += "P: " + usbPath + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
  records += "A: idVendor=" + Hex4(plugged.vendorId, true) + "\n";
  records += "A: idProduct=" + Hex4(plugged.productId, true) + "\n";
  records += "A: serial=" + identity.uniq + "\n\n";
  records += "P: " + usbPath + "/" + usbPath.substr(usbPath.rfind('/') + 1) +
             ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceClass=03\n"
             "A: bInterfaceNumber=00\n\n";
  records += "P: " + hidPath + "\nE: SUBSYSTEM=hid\n";
  if (plugged.identity == IdentitySource::kHidId) {
    records +=
        "E: HID_ID=0003:0000" + Hex4(plugged.vendorId) + ":0000" + Hex4(plugged.productId) + "\n";
  }
  records += "E: HID_NAME=" + identity.name + "\nE: HID_PHYS=" + identity.phys +
             "\nE: HID_UNIQ=" + identity.uniq + "\n";
  records += "H: report_descriptor=" + ReportDescriptorHex() + "\n\n";
  records += "P: " + nodePath + "\nN: " + place.devnode.substr(5) +
             "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + place.devnode +
             "\nA: dev=243:" + std::to_string(number) + "\n\n";
  return records;
}

}  // namespace

HidrawTestbed::HidrawTestbed() : m_testbed(umockdev_testbed_new()) {
  // Asked only now: umockdev keeps its first answer.
  m_ready = umockdev_in_mock_environment();
  gchar* root = umockdev_testbed_get_root_dir(m_testbed);
  m_root = root;
  g_free(root);
  m_loop = std::make_unique<LoopThread>();
}

HidrawTestbed::~HidrawTestbed() {
  {
    // From now on no program reaches a node, and the loop's thread plugs and unplugs nothing.
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& node : m_nodes) node->DetachFrom(m_testbed);
    m_closing = true;
  }
  m_loop.reset();
  g_object_unref(m_testbed);
}

std::shared_ptr<EmulatedNode> HidrawTestbed::Plug(std::shared_ptr<sim::Device> device) {
  DeviceToPlug plugged;
  plugged.vendorId = device->VendorId();
  plugged.productId = device->ProductId();
  plugged.device = std::move(device);
  return Plug(plugged);
}

std::shared_ptr<EmulatedNode> HidrawTestbed::Plug(const DeviceToPlug& plugged) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closing) return nullptr;
  const int number = m_nextNumber++;
  const std::string port = "1-" + std::to_string(number + 1);
  const std::string usbPath =
      std::string("/devices/pci0000:00/") + kHostController + "/usb1/" + port;
  char hidName[32];
  std::snprintf(hidName, sizeof hidName, "0003:%s:%s.%04X", Hex4(plugged.vendorId).c_str(),
                Hex4(plugged.productId).c_str(), number + 1);
  const std::string hidPath = usbPath + "/" + port + ":1.0/" + hidName;
  const std::string nodePath = hidPath + "/hidraw/hidraw" + std::to_string(number);
  NodePlace place{"/dev/hidraw" + std::to_string(number), "/sys" + nodePath, "/sys" + usbPath};

  // A controller unplugs itself on umockdev's worker thread, which must not wait for the
  // testbed: the loop's thread does it.
  auto self = std::make_shared<std::weak_ptr<EmulatedNode>>();
  auto unplug = [this, self] {
    if (auto node = self->lock()) UnplugAfter(node, 0);
  };
  const NodeIdentity identity = IdentityOf(plugged, number);
  auto node = std::make_shared<EmulatedNode>(place, identity, plugged.device, *m_loop, unplug);
  *self = node;
  if (!node->AttachTo(m_testbed)) return nullptr;
  m_nodes.push_back(node);
  const std::string records =
      DeviceRecords(place, usbPath, hidPath, nodePath, number, plugged, identity);
  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(m_testbed, records.c_str(), &error)) {
    std::fprintf(stderr, "umockdev refused the device: %s\n", error->message);
    g_clear_error(&error);
    return nullptr;
  }
  if (!node->TakeTerminal(m_testbed)) return nullptr;
  return node;
}

void HidrawTestbed::Unplug(EmulatedNode& node) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closing || node.Gone()) return;
  // Leaf first, as the kernel does it.
  umockdev_testbed_uevent(m_testbed, node.Place().nodeSyspath.c_str(), "remove");
  umockdev_testbed_remove_device(m_testbed, node.Place().deviceSyspath.c_str());
  node.MarkGone(m_removal);
  // The terminal's number is handed out again once free, but umockdev keeps the link it made
  // for it and would abort making it anew for the next node.
  std::string link = node.TerminalPath();
  std::replace(link.begin(), link.end(), '/', '_');
  unlink((m_root + "/dev/.ptymap/" + link).c_str());
}

void HidrawTestbed::SetRemoval(Removal removal) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_removal = removal;
}

void HidrawTestbed::UnplugAfter(const std::shared_ptr<EmulatedNode>& node, std::uint32_t delayMs) {
  m_loop->Post([this, node] { Unplug(*node); }, delayMs);
}

void HidrawTestbed::SendUevent(EmulatedNode& node, const char* action) {
  std::lock_guard<std::mutex> lock(m_mutex);
  umockdev_testbed_uevent(m_testbed, node.Place().nodeSyspath.c_str(), action);
}

void HidrawTestbed::OpenToAllUsers() {
  namespace fs = std::filesystem;
  std::lock_guard<std::mutex> lock(m_mutex);
  std::error_code error;
  fs::permissions(m_root, fs::perms::all, error);
  for (fs::recursive_directory_iterator it(m_root, error), end; it != end; it.increment(error)) {
    // Symbolic links (a node's terminal among them) are left alone. The preload connects to a
    // node's socket for the program's calls on it, so the sockets must be writable.
    const fs::file_type type = it->symlink_status(error).type();
    if (type == fs::file_type::directory || type == fs::file_type::socket) {
      fs::permissions(it->path(), fs::perms::all, error);
    }
  }
}

}  // namespace kestro::hidraw::testing
