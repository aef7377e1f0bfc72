// A host for one emulated controller that records what the controller did, on a clock the test
// sets.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim/Device.h"

namespace kestro::sim::testing {

using Bytes = std::vector<std::uint8_t>;

class FakeHost : public DeviceHost {
 public:
  void SendInput(const Payload& payload, std::uint32_t delayMs) override {
    inputs.emplace_back(payload, payload + kPayloadSize);
    delays.push_back(delayMs);
  }
  void Detach() override { detached = true; }
  void StopTakingOutput() override {}
  std::uint64_t NowMs() override { return now; }

  // The inputs since the last call, and forgets them.
  std::vector<Bytes> Take() {
    std::vector<Bytes> taken;
    taken.swap(inputs);
    delays.clear();
    return taken;
  }

  std::vector<Bytes> inputs;
  std::vector<std::uint32_t> delays;
  bool detached = false;
  std::uint64_t now = 0;
};

// Writes one output report (report id 0) whose payload starts with `payload`, zeros behind it.
inline void Write(Device& device, FakeHost& host, const Bytes& payload) {
  OutputReport report{};
  std::memcpy(report + 1, payload.data(), std::min(payload.size(), kPayloadSize));
  device.OnOutput(report, host);
}

inline Bytes Prefix(const Bytes& bytes, std::size_t count) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(count));
}

// The first `count` bytes of each report, in order.
inline std::vector<Bytes> Prefixes(const std::vector<Bytes>& reports, std::size_t count) {
  std::vector<Bytes> prefixes;
  for (const Bytes& report : reports) prefixes.push_back(Prefix(report, count));
  return prefixes;
}

// Written here, apart from the controllers' own, so that a fault there cannot hide in the tests.
inline void WriteLe16(Bytes& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

inline void WriteLe32(Bytes& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace kestro::sim::testing
