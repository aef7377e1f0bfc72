// An emulated controller in boot mode: the device side of the bootloader protocol. Every command
// frame gets one reply; image blocks and the version word land in an emulated flash.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace kestro::sim {

struct Reaction;  // sim/Wire.h

struct BootFaults {
  int silentTo = -1;  // frames with this command code are never answered
  // BOOT_START is answered BOOT_BUSY (status 16) until this long after the first BOOT_START.
  std::uint32_t busyForMs = 0;
  int busyAnswersForOtherCommand = -1;  // busy answers carry this code instead of BOOT_START's
  int lostAckBlock = -1;    // the acknowledgement of this image block (0-based) is lost once
  int wrongCodeFor = -1;    // replies to this command code carry code + 1
  int wrongStatusFor = -1;  // replies to this command code carry status 1
  int detachAtBlock = -1;   // detach instead of writing image block k
  std::uint32_t answerDelayMs = 0;
  // The acknowledgement of the first frame of this block comes lateAckMs late, as from a
  // controller that takes its time to write a page; answers behind it wait their turn.
  int lateAckBlock = -1;
  std::uint32_t lateAckMs = 0;
  int lostBlock = -1;  // the first frame of this block never arrives: not written, not answered
  // Before each reply to an image block, this many replies that acknowledge nothing, all at
  // once: more than a HID handle's queue holds (32) makes the system drop the oldest.
  int noiseBurst = 0;
  // Acknowledges block k - 1, then takes no output reports any more: the host's write of block
  // k never ends.
  int stallAtBlock = -1;
};

struct BootConfig {
  std::uint16_t vendorId = 0x3A7C;
  std::uint16_t productId = 0x3002;
  std::uint16_t modelId = 0x0102;
  std::uint8_t variant = 3;
  std::uint32_t version = 123;  // version word reported in the boot info
  BootFaults faults;
};

// One command frame as received.
struct BootFrame {
  std::uint16_t command = 0;
  std::uint32_t dataLength = 0;
  std::uint32_t totalLength = 0;
  std::uint32_t address = 0;
  std::vector<std::uint8_t> data;  // the data bytes of image and parameter writes
};

inline constexpr std::uint16_t BOOT_WRITE_PARAM = 2;
inline constexpr std::uint16_t BOOT_WRITE_IMAGE = 3;
inline constexpr std::uint16_t BOOT_START = 4;
inline constexpr std::uint16_t BOOT_FINISH = 7;
inline constexpr std::uint16_t BOOT_GET_INFO = 0xC0;
inline constexpr std::uint16_t kBootStatusDone = 0;
inline constexpr std::uint16_t BOOT_BUSY = 16;
inline constexpr std::uint32_t kVersionParamAddress = 0x08000034;

class BootController : public Device {
 public:
  explicit BootController(BootConfig config = {});

  std::uint16_t VendorId() const override { return config_.vendorId; }
  std::uint16_t ProductId() const override { return config_.productId; }
  void OnOutput(const OutputReport& report, DeviceHost& host) override;

  // Observations; safe to call while the host's threads are writing.
  std::vector<BootFrame> Frames() const;  // well-formed frames, in order of arrival
  std::uint32_t MalformedFrames() const;
  std::map<std::uint32_t, std::uint8_t> Flash() const;  // address -> byte, image writes only
  // The bytes at [address, address + length); 0xFF where nothing was written (erased flash).
  std::vector<std::uint8_t> FlashRange(std::uint32_t address, std::uint32_t length) const;
  std::optional<std::uint32_t> VersionWord() const;  // BOOT_WRITE_PARAM at 0x08000034
  bool Started() const;   // BOOT_START accepted (not busy), whether or not the answer arrives
  bool Finished() const;  // BOOT_FINISH received
  bool FlashRewrittenDifferently() const;  // a later write changed a byte already written
  // Image bytes written outside [base, base + total) of the last BOOT_START.
  std::uint32_t BytesBeyondRange() const;

  // Human-readable lines about what the controller saw and did, called outside any lock.
  void SetEventLog(std::function<void(const std::string&)> log);

 private:
  void Handle(const BootFrame& frame, std::uint64_t now, Reaction& reaction);

  const BootConfig config_;
  mutable std::mutex mutex_;
  std::function<void(const std::string&)> log_;
  std::vector<BootFrame> frames_;
  std::uint32_t malformed_ = 0;
  std::map<std::uint32_t, std::uint8_t> flash_;
  std::optional<std::uint32_t> versionWord_;
  std::optional<std::uint64_t> firstStartMs_;
  bool started_ = false;
  bool finished_ = false;
  std::uint32_t rangeBase_ = 0;
  std::uint32_t rangeTotal_ = 0;
  // Faults that strike once, on the first frame of their block.
  bool ackLost_ = false;
  bool ackLate_ = false;
  bool blockLost_ = false;
  bool detached_ = false;
  bool rewrittenDifferently_ = false;
  std::uint32_t bytesBeyondRange_ = 0;
};

}  // namespace kestro::sim
