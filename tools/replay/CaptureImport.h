// A session with a controller made out of a USB capture: the controller found by its identity, its
// HID reports kept as written and read reports, and everything else counted and left out.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/HidPort.h"
#include "platform/record/Recording.h"

namespace kestro::replay {

// A device as the capture names it.
struct DeviceAddress {
  std::uint16_t bus = 0;
  std::uint16_t address = 0;
  auto operator<=>(const DeviceAddress&) const = default;
  std::string Text() const { return std::to_string(bus) + "." + std::to_string(address); }
};

struct ImportOptions {
  // The controller, named by the user; otherwise the first supported controller whose device
  // descriptor the capture holds.
  std::optional<DeviceAddress> device;
  // The named controller's identity when the capture holds no descriptor of it.
  HidAttributes identity;
};

// What was left out, by kind; each packet counts once.
enum class Skipped {
  kOtherDevice,
  kOtherController,
  kControl,
  kOtherEndpoint,  // bulk and isochronous transfers, and USBPcap's IRP information
  kCancelled,
  kUnfinished,  // a submission without its completion, or an OUT completion without its data
  kOtherSize,   // neither a 64-byte report nor one behind report id 0
  kCutShort,
  kAfterRemoval,
  kUnreadable,
  kCount
};

struct Imported {
  record::Header header;
  std::vector<record::Event> events;
  std::array<std::uint64_t, static_cast<std::size_t>(Skipped::kCount)> skipped{};
};

// The session in the capture at `path`; on failure, nothing and `error` says why in a few words.
std::optional<Imported> ImportCapture(const std::string& path, const ImportOptions& options,
                                      std::string& error);

// "skipped 12 packets: 10 other devices, 2 control", or "skipped nothing".
std::string SkippedSummary(const Imported& imported);

}  // namespace kestro::replay
