// Controller replies of both protocols from arbitrary bytes: whatever the controller sends, the
// updater must not crash, hang or overrun a buffer.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>

#include "tests/support/Environment.h"
#include "tests/support/RecordingHost.h"
#include "update/Updater.h"

namespace {

// Each input gets a world of its own, so that its outcome depends on it alone and a crash
// reproduces from the input.
struct World {
  kestro::testing::Environment env;
  kestro::CHid hid{env.port};
  kestro::testing::RecordingHost host{hid, env.clock};
  kestro::Updater updater{hid, host};
  World() {
    kestro::SetDiagnosticSink(nullptr);
    env.port.Attach(L"pad", 0x3A7C, 0x5750);
    kestro::updateState = kestro::kUpdateStateIdle;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  World world;
  kestro::FramedUpdate& framed = world.updater.Framed();
  kestro::BootUpdate& boot = world.updater.Boot();
  const std::uint8_t mode = data[0];
  ++data;
  --size;
  // The controller's reports, 64 bytes each, the last one padded with zeros.
  std::vector<std::array<std::uint8_t, 64>> replies;
  for (std::size_t at = 0; at < size; at += 64) {
    std::array<std::uint8_t, 64> r{};
    std::memcpy(r.data(), data + at, std::min<std::size_t>(64, size - at));
    replies.push_back(r);
  }
  if (mode & 1) {
    // Framed replies, in whatever state the transfer is.
    kestro::updateState = (mode >> 1) & 3;
    for (const auto& r : replies) framed.HandleFramedReply(r.data());
    return 0;
  }
  // Boot replies: queued as the controller's answers to one exchange.
  world.hid.FindDevice();
  world.hid.OpenDevice();
  world.hid.SetReadTimeout(10);
  for (const auto& r : replies) {
    std::uint8_t payload[64];
    std::memcpy(payload, r.data(), 64);
    world.env.port.Input(L"pad", payload);
  }
  std::uint8_t info[44];
  switch ((mode >> 1) % 5) {
    case 0:
      boot.GetBootInfo(info, sizeof info);
      break;
    case 1:
      boot.StartBootTransfer(kestro::BOOT_START, 0x08004000, 100);
      break;
    case 2:
      boot.WriteBootBlock(info, 0x08004000, sizeof info, 100, true);
      break;
    case 3:
      boot.FinishBootTransfer();
      break;
    default:
      boot.QueryBootInfo();
      break;
  }
  return 0;
}
