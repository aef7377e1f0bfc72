// The bootloader protocol on the wire: command codes, the command frame and the reply, as
// payload bytes, for a controller in boot mode.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/HidPort.h"
#include "update/ByteOrder.h"

namespace kestro {

// Command codes.
inline constexpr std::uint16_t BOOT_WRITE_PARAM = 2;
inline constexpr std::uint16_t BOOT_WRITE_IMAGE = 3;
inline constexpr std::uint16_t BOOT_START = 4;
inline constexpr std::uint16_t BOOT_FINISH = 7;
inline constexpr std::uint16_t BOOT_GET_INFO = 0xC0;
// Reply status of a command the boot loader is still working on.
inline constexpr std::uint16_t BOOT_BUSY = 16;

inline constexpr std::uint32_t kBootBlockSize = 46;                // image bytes per frame at most
inline constexpr std::uint32_t kBootInfoSize = 44;                 // the BootInfo record
inline constexpr std::uint32_t kVersionParamAddress = 0x08000034;  // where the version word goes

namespace boot {

// The command frame.
inline constexpr std::size_t kFrameMarker = 0;
inline constexpr std::uint8_t kMarker = 5;
inline constexpr std::size_t kFrameCommand = 1;   // LE16; bytes 3-4 stay 0
inline constexpr std::size_t kFrameLength = 5;    // LE32: data length
inline constexpr std::size_t kFrameTotal = 9;     // LE32: total length
inline constexpr std::size_t kFrameAddress = 13;  // LE32: device address
inline constexpr std::size_t kFrameData = 17;

// The reply.
inline constexpr std::size_t kReplyZero = 0;
inline constexpr std::size_t kReplyMarker = 1;
inline constexpr std::size_t kReplyStatus = 2;   // LE16: 0 done, BOOT_BUSY
inline constexpr std::size_t kReplyCommand = 4;  // LE16: the command answered
inline constexpr std::size_t kReplyBootInfo = 18;
inline constexpr std::uint16_t kStatusDone = 0;

// BootInfo fields.
inline constexpr std::size_t kInfoModelId = 0;  // LE16
inline constexpr std::size_t kInfoVariant = 2;
inline constexpr std::size_t kInfoVersion = 4;  // LE32, the version word

// A frame of 64 bytes: length is cut to kBootBlockSize; data, when given, follows the head.
// Returns how many of its bytes are written (the head and the data attached).
inline std::size_t BuildFrame(const std::uint8_t* data, std::uint32_t length, std::uint32_t address,
                              std::uint32_t total, std::uint16_t command,
                              std::uint8_t (&frame)[kPayloadSize]) {
  for (auto& b : frame) b = 0;
  frame[kFrameMarker] = kMarker;
  WriteLe16(frame + kFrameCommand, command);
  if (length > kBootBlockSize) length = kBootBlockSize;
  WriteLe32(frame + kFrameLength, length);
  WriteLe32(frame + kFrameTotal, total);
  WriteLe32(frame + kFrameAddress, address);
  if (data == nullptr) return kFrameData;
  for (std::uint32_t i = 0; i < length; ++i) frame[kFrameData + i] = data[i];
  return kFrameData + length;
}

enum class Reply { kAcknowledged, kBusy, kNone };

// What a read brought for `command`: its acknowledgement, a busy answer to it, or nothing.
inline Reply CheckReply(std::uint32_t readResult, const std::uint8_t* reply,
                        std::uint16_t command) {
  if (readResult != kWaitReceived || reply[kReplyZero] != 0 || reply[kReplyMarker] != kMarker ||
      ReadLe16(reply + kReplyCommand) != command) {
    return Reply::kNone;
  }
  const std::uint16_t status = ReadLe16(reply + kReplyStatus);
  if (status == kStatusDone) return Reply::kAcknowledged;
  if (status == BOOT_BUSY) return Reply::kBusy;
  return Reply::kNone;
}

}  // namespace boot
}  // namespace kestro
