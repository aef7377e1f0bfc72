// Values of the update that both threads touch, process-wide as the protocols define them.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestro {

// State of the framed transfer; drives the answers to the controller's data requests.
enum UpdateState : std::uint32_t {
  kUpdateStateUninitialised = 0,  // the dialog has not finished its initialisation
  kUpdateStateWaiting = 1,        // image chosen and announced, first data request awaited
  kUpdateStateTransferring = 2,
  kUpdateStateIdle = 3,  // image sent, or nothing prepared
};

// deviceVersion before the controller has told its version.
inline constexpr std::uint32_t kVersionUnknown = 0x5A5A5A5A;
// deviceVersion of a controller that holds no valid firmware.
inline constexpr std::uint32_t kVersionNoFirmware = 0xFFFFFFFF;

extern std::atomic<std::uint32_t> stopFlag;
extern std::atomic<std::uint32_t> updateState;
extern std::atomic<std::uint32_t> deviceVersion;

}  // namespace kestro
