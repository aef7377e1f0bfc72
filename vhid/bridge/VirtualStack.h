// What the bridge needs from Windows' HID stack: virtual devices that come and go, and their
// input reports. Wine's stack with our driver is one implementation; the native tests use a fake
// that records what it was asked.
#pragma once

#include <cstdint>
#include <string>

#include "vhid/VhidReport.h"

namespace kestro::vhid {

class VirtualStack {
 public:
  virtual ~VirtualStack() = default;
  // Makes a device with this identity present; returns once programs can find and open it.
  // The serial names it from then on. False, with the reason, on failure.
  virtual bool Add(std::uint32_t serial, std::uint16_t vendorId, std::uint16_t productId,
                   std::string& error) = 0;
  // Removes the device; returns once it is gone from the stack.
  virtual bool Remove(std::uint32_t serial, std::string& error) = 0;
  // One input report from the device. A device that is already gone is not a failure.
  virtual bool Input(std::uint32_t serial, const std::uint8_t (&payload)[VHID_PAYLOAD_BYTES],
                     std::string& error) = 0;
  // The device takes no output reports any more: programs' writes to it are held and fail.
  virtual bool Stall(std::uint32_t serial, std::string& error) = 0;
  // Returns once every input handed over so far has reached the programs' open handles.
  virtual bool Settle(std::string& error) = 0;
};

}  // namespace kestro::vhid
