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
// Reply status of a command done, and of one the boot loader is still working on.
inline constexpr std::uint16_t kStatusDone = 0;
inline constexpr std::uint16_t BOOT_BUSY = 16;
inline constexpr std::uint32_t kVersionParamAddress = 0x08000034;

class BootController : public Device {
 public:
  explicit BootController(BootConfig config = {});

  std::uint16_t VendorId() const override { return m_config.vendorId; }
  std::uint16_t ProductId() const override { return m_config.productId; }
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
  // A reply as a command's step leaves it; Answer writes its head, lets the reply faults strike
  // and sends it.
  struct Reply {
    std::uint16_t status = kStatusDone;
    std::uint16_t command = 0;  // the command answered
    Payload bytes{};            // behind the head: BOOT_GET_INFO's boot info
    std::uint32_t extraDelayMs = 0;
    int noise = 0;  // replies that acknowledge nothing, sent at once before it
  };
  // An image block, numbered by where it lands in the range of the last BOOT_START; a frame
  // below the range has no number.
  using Block = std::optional<std::int64_t>;

  // With m_mutex held. One step per command code, each with its reply or none.
  void Handle(const BootFrame& frame, std::uint64_t now, Reaction& reaction);
  std::optional<Reply> GetInfo(const BootFrame& frame, Reaction& reaction) const;
  std::optional<Reply> Start(const BootFrame& frame, std::uint64_t now, Reaction& reaction);
  std::optional<Reply> WriteImage(const BootFrame& frame, Reaction& reaction);
  std::optional<Reply> WriteParam(const BootFrame& frame, Reaction& reaction);
  std::optional<Reply> Finish(const BootFrame& frame, Reaction& reaction);
  // Into the emulated flash, noting bytes outside the range and bytes that change.
  void WriteFlash(const BootFrame& frame);
  // The image-block faults: before the block is written (true when the frame never arrives),
  // after it is written (true when its acknowledgement is lost), and on its acknowledgement.
  bool LoseFrame(const Block& block, Reaction& reaction);
  bool LoseAcknowledgement(const Block& block, Reaction& reaction);
  void HinderAcknowledgement(const Block& block, Reply& reply, Reaction& reaction);
  void Answer(std::uint16_t command, Reply reply, Reaction& reaction) const;

  const BootConfig m_config;
  mutable std::mutex m_mutex;
  std::function<void(const std::string&)> m_log;
  std::vector<BootFrame> m_frames;
  std::uint32_t m_malformed = 0;
  std::map<std::uint32_t, std::uint8_t> m_flash;
  std::optional<std::uint32_t> m_versionWord;
  std::optional<std::uint64_t> m_firstStartMs;
  bool m_started = false;
  bool m_finished = false;
  std::uint32_t m_rangeBase = 0;
  std::uint32_t m_rangeTotal = 0;
  // Faults that strike once, on the first frame of their block.
  bool m_ackLost = false;
  bool m_ackLate = false;
  bool m_blockLost = false;
  bool m_detached = false;
  bool m_rewrittenDifferently = false;
  std::uint32_t m_bytesBeyondRange = 0;
};

}  // namespace kestro::sim
