// The device side of one emulated HID interface. A transport hosts it: the in-process fake port
// of the native tests, or the device-link server that the link build of the program talks to.
//
// The emulator is written apart from the updater on purpose and includes none of its code, so
// that it cannot share the updater's mistakes about the protocols. It spells the protocols' values
// with the updater's names (FIRMWARE_PACKET, BOOT_WRITE_IMAGE, kVersionParamAddress, ReadLe32,
// ...), so that a reader sees at once which value is which.
#pragma once

#include <cstdint>
#include <string>

namespace kestro::sim {

inline constexpr std::size_t kPayloadSize = 64;
inline constexpr std::size_t kReportSize = 65;
using Payload = std::uint8_t[kPayloadSize];
using OutputReport = std::uint8_t[kReportSize];

// What an emulated controller can do to its host.
class DeviceHost {
 public:
  virtual ~DeviceHost() = default;
  // One input report of 64 payload bytes, readable by the program after delayMs.
  virtual void SendInput(const Payload& payload, std::uint32_t delayMs) = 0;
  // The controller disappears: reads and writes on its handles fail from now on.
  virtual void Detach() = 0;
  // The controller takes no output reports any more (it answers every one with NAK): a write
  // to it waits for its bound and fails. Its input reports still arrive.
  virtual void StopTakingOutput() = 0;
  // The host's clock, in milliseconds (virtual in native tests, real over the device link).
  virtual std::uint64_t NowMs() = 0;
};

class Device {
 public:
  virtual ~Device() = default;
  virtual std::uint16_t VendorId() const = 0;
  virtual std::uint16_t ProductId() const = 0;
  // One output report exactly as the program wrote it (65 bytes, byte 0 the report id).
  virtual void OnOutput(const OutputReport& report, DeviceHost& host) = 0;
};

}  // namespace kestro::sim
