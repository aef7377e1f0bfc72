#include "tools/replay/CaptureImport.h"

#include <linux/usb/ch9.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <map>
#include <set>
#include <span>
#include <utility>

#include "hid/Hid.h"
#include "tools/replay/UsbCapture.h"

namespace kestro::replay {
namespace {

constexpr char kProgram[] = "kestro-replay import";
constexpr std::size_t kPayloadSize = std::tuple_size_v<record::Payload>;
constexpr std::uint8_t kReportId = 0;
// A device answers at address 0 only while it is being enumerated, before its address is set.
constexpr std::uint16_t kDefaultAddress = 0;

void Count(Imported& imported, Skipped kind, std::uint64_t packets = 1) {
  imported.skipped[static_cast<std::size_t>(kind)] += packets;
}

// --- which device is the controller --------------------------------------------------------------

struct Census {
  // Each device whose descriptor the capture holds, in the order they first appear.
  std::vector<std::pair<DeviceAddress, HidAttributes>> described;
  std::set<DeviceAddress> seen;
};

bool AsksForDeviceDescriptor(const std::array<std::uint8_t, 8>& setup) {
  return setup[0] == USB_DIR_IN && setup[1] == USB_REQ_GET_DESCRIPTOR && setup[3] == USB_DT_DEVICE;
}

// Reads the whole file, so that a capture cut short is refused before anything is made of it.
std::optional<Census> TakeCensus(const std::string& path, std::string& error) {
  CaptureReader reader;
  error = reader.Open(path);
  if (!error.empty()) return std::nullopt;
  Census census;
  std::set<std::uint64_t> descriptorRequests;
  UsbPacket packet;
  for (;;) {
    const CaptureReader::Result result = reader.Read(packet);
    if (result == CaptureReader::Result::kEnd) break;
    if (result == CaptureReader::Result::kError) {
      error = reader.Error();
      return std::nullopt;
    }
    if (result != CaptureReader::Result::kPacket) continue;
    const DeviceAddress device{packet.bus, packet.address};
    census.seen.insert(device);
    if (packet.transfer != Transfer::kControl || packet.address == kDefaultAddress) continue;
    if (!packet.completion) {
      if (packet.setup && AsksForDeviceDescriptor(*packet.setup)) {
        descriptorRequests.insert(packet.request);
      }
      continue;
    }
    if (descriptorRequests.erase(packet.request) == 0 || packet.ending != Ending::kOk) continue;
    // The host's first request may ask for 8 bytes only, which end before the ids.
    constexpr std::size_t kIdsEnd = offsetof(usb_device_descriptor, idProduct) + 2;
    if (packet.data.size() < kIdsEnd || packet.data[1] != USB_DT_DEVICE) continue;
    const auto at = [&](std::size_t offset) {
      return static_cast<std::uint16_t>(packet.data[offset] | packet.data[offset + 1] << 8);
    };
    const HidAttributes ids{at(offsetof(usb_device_descriptor, idVendor)),
                            at(offsetof(usb_device_descriptor, idProduct))};
    const bool known = std::any_of(census.described.begin(), census.described.end(),
                                   [&](const auto& entry) { return entry.first == device; });
    if (!known) census.described.emplace_back(device, ids);
  }
  return census;
}

std::string IdsText(const HidAttributes& ids) {
  char text[16];
  std::snprintf(text, sizeof text, "%04x:%04x", ids.vendorId, ids.productId);
  return text;
}

// The controller and its identity, or why there is none.
std::optional<std::pair<DeviceAddress, HidAttributes>> ChooseController(
    const Census& census, const ImportOptions& options, std::string& error) {
  const auto described = [&](DeviceAddress device) {
    return std::find_if(census.described.begin(), census.described.end(),
                        [&](const auto& entry) { return entry.first == device; });
  };
  if (options.device) {
    const DeviceAddress device = *options.device;
    if (const auto it = described(device); it != census.described.end()) {
      if (!IsSupportedController(it->second)) {
        error = "device " + device.Text() + " is " + IdsText(it->second) +
                ", not a supported controller";
        return std::nullopt;
      }
      return *it;
    }
    if (!census.seen.contains(device)) {
      error = "the capture holds no traffic of device " + device.Text();
      return std::nullopt;
    }
    return std::pair(device, options.identity);
  }
  for (const auto& entry : census.described) {
    if (IsSupportedController(entry.second)) return entry;
  }
  error = census.described.empty()
              ? "the capture holds no device descriptor; name the controller with --device BUS.ADDR"
              : "no supported controller among the " + std::to_string(census.described.size()) +
                    " devices the capture describes (3a7c:5750, 0483:5750, 3a7c:3002)";
  return std::nullopt;
}

// --- the controller's reports --------------------------------------------------------------------

// A submission waiting for its completion.
struct Pending {
  std::uint64_t time = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t length = 0;
};

// The 64 payload bytes of a report as it went over the wire, with or without its report id.
std::optional<record::Payload> PayloadOf(std::span<const std::uint8_t> data) {
  if (data.size() == kPayloadSize + 1 && data[0] == kReportId) data = data.subspan(1);
  if (data.size() != kPayloadSize) return std::nullopt;
  record::Payload payload;
  std::copy(data.begin(), data.end(), payload.begin());
  return payload;
}

class Extraction {
 public:
  Extraction(Imported& imported, DeviceAddress controller, std::set<DeviceAddress> otherControllers)
      : m_imported(imported),
        m_controller(controller),
        m_otherControllers(std::move(otherControllers)) {}

  void Take(const UsbPacket& packet) {
    const DeviceAddress device{packet.bus, packet.address};
    if (device != m_controller) {
      Count(m_imported, m_otherControllers.contains(device) ? Skipped::kOtherController
                                                            : Skipped::kOtherDevice);
    } else if (m_removed) {
      Count(m_imported, Skipped::kAfterRemoval);
    } else if (packet.completion && packet.ending == Ending::kDeviceGone) {
      // Whichever of its transfers tells first: the device is gone, and the transfers still
      // pending ended with it.
      m_pending.erase(packet.request);
      Count(m_imported, Skipped::kAfterRemoval, m_pending.size());
      m_pending.clear();
      Add(record::Event::Kind::kRemoved, packet.time);
      m_removed = true;
    } else if (packet.transfer == Transfer::kControl) {
      Count(m_imported, Skipped::kControl);
    } else if (packet.transfer != Transfer::kInterrupt) {
      Count(m_imported, Skipped::kOtherEndpoint);
    } else if (!packet.completion) {
      if (m_pending.contains(packet.request)) Count(m_imported, Skipped::kUnfinished);
      m_pending[packet.request] = {packet.time, packet.data, packet.length};
    } else {
      Complete(packet);
    }
  }

  void Finish() {
    Count(m_imported, Skipped::kUnfinished, m_pending.size());
    std::stable_sort(m_imported.events.begin(), m_imported.events.end(),
                     [](const auto& a, const auto& b) { return a.t < b.t; });
    if (m_imported.events.empty()) return;
    const std::uint64_t start = m_imported.events.front().t;
    for (record::Event& event : m_imported.events) event.t -= start;
  }

 private:
  void Complete(const UsbPacket& packet) {
    std::optional<Pending> submission;
    if (const auto it = m_pending.find(packet.request); it != m_pending.end()) {
      submission = std::move(it->second);
      m_pending.erase(it);
    }
    const std::uint64_t packets = submission ? 2 : 1;
    switch (packet.ending) {
      case Ending::kCancelled:
        Count(m_imported, Skipped::kCancelled, packets);
        return;
      case Ending::kFailed:
        Add(packet.In() ? record::Event::Kind::kReadFailed : record::Event::Kind::kWriteFailed,
            packet.time, packet.code);
        return;
      case Ending::kDeviceGone:  // taken before
      case Ending::kOk:
        break;
    }
    // A written report is dated when it was handed over, a read one when it arrived.
    std::uint64_t time = packet.time;
    std::span<const std::uint8_t> data = packet.data;
    std::uint32_t length = packet.length;
    if (!packet.In()) {
      if (!submission) {
        Count(m_imported, Skipped::kUnfinished);
        return;
      }
      time = submission->time;
      data = submission->data;
      length = submission->length;
    }
    if (data.size() < length) {
      Count(m_imported, Skipped::kCutShort, packets);
      return;
    }
    const std::optional<record::Payload> payload = PayloadOf(data);
    if (!payload) {
      Count(m_imported, Skipped::kOtherSize, packets);
      return;
    }
    Add(packet.In() ? record::Event::Kind::kIn : record::Event::Kind::kOut, time, 0, *payload);
  }

  void Add(record::Event::Kind kind, std::uint64_t time, std::uint32_t code = 0,
           const record::Payload& report = {}) {
    record::Event& event = m_imported.events.emplace_back();
    event.kind = kind;
    event.t = time;
    event.code = code;
    event.report = report;
  }

  Imported& m_imported;
  const DeviceAddress m_controller;
  const std::set<DeviceAddress> m_otherControllers;
  std::map<std::uint64_t, Pending> m_pending;
  bool m_removed = false;
};

}  // namespace

std::optional<Imported> ImportCapture(const std::string& path, const ImportOptions& options,
                                      std::string& error) {
  const std::optional<Census> census = TakeCensus(path, error);
  if (!census) return std::nullopt;
  const auto controller = ChooseController(*census, options, error);
  if (!controller) return std::nullopt;
  const auto [device, ids] = *controller;

  Imported imported;
  imported.header.program = kProgram;
  imported.header.controller = {"usb:" + device.Text(), ids.vendorId, ids.productId,
                                ids.productId == kProductBoot ? "boot" : "normal"};
  std::set<DeviceAddress> otherControllers;
  for (const auto& [other, otherIds] : census->described) {
    if (other != device && IsSupportedController(otherIds)) otherControllers.insert(other);
  }
  Extraction extraction(imported, device, std::move(otherControllers));

  CaptureReader reader;
  error = reader.Open(path);
  if (!error.empty()) return std::nullopt;
  UsbPacket packet;
  for (;;) {
    const CaptureReader::Result result = reader.Read(packet);
    if (result == CaptureReader::Result::kEnd) break;
    if (result == CaptureReader::Result::kError) {
      error = reader.Error();  // the file changed since the census
      return std::nullopt;
    }
    if (result == CaptureReader::Result::kUnreadable) {
      Count(imported, Skipped::kUnreadable);
    } else {
      extraction.Take(packet);
    }
  }
  extraction.Finish();
  return imported;
}

std::string SkippedSummary(const Imported& imported) {
  static constexpr const char* kNames[] = {
      "other devices", "other controllers",   "control",   "bulk or isochronous", "cancelled",
      "unfinished",    "not 64-byte reports", "cut short", "after removal",       "unreadable"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(Skipped::kCount));
  std::uint64_t total = 0;
  std::string kinds;
  for (std::size_t kind = 0; kind < imported.skipped.size(); ++kind) {
    const std::uint64_t count = imported.skipped[kind];
    if (count == 0) continue;
    total += count;
    kinds += (kinds.empty() ? ": " : ", ") + std::to_string(count) + " " + kNames[kind];
  }
  if (total == 0) return "skipped nothing";
  return "skipped " + std::to_string(total) + (total == 1 ? " packet" : " packets") + kinds;
}

}  // namespace kestro::replay
