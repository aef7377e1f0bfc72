// The bootloader protocol, for a controller in boot mode: its info exchange (the version query)
// and the update, which announces the image's range, writes it in acknowledged blocks, writes
// the version word and finishes.
#pragma once

#include <cstdint>

#include "update/BootWire.h"
#include "update/PackageSelection.h"
#include "update/UpdateSession.h"

namespace kestro {

// Resends of a boot block that is not acknowledged.
inline constexpr std::uint32_t kBootBlockResends = 5;
// A boot block sent more than once can earn one acknowledgement per frame. The boot loader answers
// its frames in order, so once this long has passed without any of them, the ones still owed are
// lost; longer than the slowest page write we have seen answered (1.5 s).
inline constexpr std::uint32_t kLateAckWindowMs = 2000;
// Reads of one frame's acknowledgement, each bounded by kTransferReadTimeoutMs.
inline constexpr std::uint32_t kBootBlockReads = 20;
// The longest a block can take without a pause of the controller's own: every frame unanswered,
// then the owed acknowledgements' window.
inline constexpr std::uint32_t kBootBlockBoundMs =
    (kBootBlockResends + 1) * kBootBlockReads * kTransferReadTimeoutMs + kLateAckWindowMs;
// Erasing flash before BOOT_START is acknowledged takes seconds; a controller still busy after a
// minute is not coming back.
inline constexpr std::uint32_t kBootStartBoundMs = 60000;

class BootUpdate {
 public:
  explicit BootUpdate(UpdateSession& session) : m_session(session), m_selection(session) {}

  // The result of the write.
  int SendBootCommand(const std::uint8_t* data, std::uint32_t length, std::uint32_t address,
                      std::uint32_t total, std::uint16_t command);
  bool StartBootTransfer(std::uint16_t command, std::uint32_t address, std::uint32_t total);
  bool WriteBootBlock(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                      std::uint32_t total, bool image);
  bool GetBootInfo(std::uint8_t* destination, std::uint32_t length);
  bool FinishBootTransfer();
  bool WriteTargetVersion();
  void QueryBootInfo();
  void RunBootUpdate();

 private:
  // The info exchange; on success the controller's model and variant, marked as the connected
  // controller's, and the info record in `info`.
  bool ReadBootInfo(std::uint8_t (&info)[kBootInfoSize]);
  // Sends the frame and reads up to kBootBlockReads replies for its acknowledgement.
  enum class Exchange { kAcknowledged, kUnanswered, kNotSent };
  Exchange ExchangeBlockFrame(const std::uint8_t* data, std::uint32_t address, std::uint32_t length,
                              std::uint32_t total, bool image);
  // BOOT_START, the image, the version word: false when any of them did not go through.
  bool WriteWholeImage();
  // The image block by block from the package; false when a block was never acknowledged or the
  // package gave out before the image did.
  bool WriteImage();
  // One image block until it is acknowledged (resent while it is not), then the acknowledgements
  // its extra frames still owe are read off. False when it was never acknowledged.
  bool WriteImageBlock(std::uint32_t offset, std::uint32_t count);
  void ReadOffLateAcks(std::uint16_t command, std::uint32_t owed);

  UpdateSession& m_session;
  PackageSelection m_selection;
};

}  // namespace kestro
