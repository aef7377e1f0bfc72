// The framed command protocol on the wire: packet types, command codes and where each field
// sits, for a controller running its normal firmware. Offsets of outgoing reports count the
// bytes behind the count byte (the packet); offsets of replies count all 64 payload bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "update/ByteOrder.h"

namespace kestro {

// Packet types.
inline constexpr std::uint8_t FIRMWARE_PACKET = 0x16;
inline constexpr std::uint8_t UPDATE_INFO = 0x19;
inline constexpr std::uint8_t UPDATE_REQUEST = 0x1A;
inline constexpr std::uint8_t RECV_FAILED = 0x1D;

// Command codes of FIRMWARE_PACKET.
inline constexpr std::uint8_t SET_FIRMWARE_DATA = 0;
inline constexpr std::uint8_t SET_FIRMWARE_INFO = 1;
inline constexpr std::uint8_t SET_FIRMWARE_END = 2;
inline constexpr std::uint8_t GET_DEVICE_VERSION = 4;
inline constexpr std::uint8_t FIRMWARE_DATA_REQUEST = 20;
inline constexpr std::uint8_t FIRMWARE_FAILURE_A = 21;  // both failure codes mean the same
inline constexpr std::uint8_t FIRMWARE_FAILURE_B = 24;

// firmwareType values of UPDATE_INFO that accept an update.
inline constexpr std::uint32_t kFirmwareTypeNormal = 1;
inline constexpr std::uint32_t kFirmwareTypeAlternate = 200;

namespace framed {

// A packet: 0x00, type, body length (LE16), body.
inline constexpr std::size_t kPacketMarker = 0;
inline constexpr std::size_t kPacketType = 1;
inline constexpr std::size_t kPacketBodyLength = 2;
inline constexpr std::size_t kPacketBody = 4;
// A command body: the code, then (with arguments) their length (LE16) and the arguments.
inline constexpr std::size_t kPacketCommand = kPacketBody;
inline constexpr std::size_t kPacketArgumentLength = kPacketBody + 1;
inline constexpr std::size_t kPacketArguments = kPacketBody + 3;
inline constexpr std::size_t kShortPacketBytes = 5;  // head, then one value or command byte

// An outgoing report: the count of packet bytes, then the packet (or one piece of it).
inline constexpr std::size_t kReportCount = 0;
inline constexpr std::size_t kReportPacket = 1;

// SET_FIRMWARE_INFO's 28 argument bytes; those behind the length carry zeros.
inline constexpr std::uint32_t kFirmwareInfoArgs = 28;
inline constexpr std::size_t kInfoVersion = 0;
inline constexpr std::size_t kInfoBaseAddress = 4;
inline constexpr std::size_t kInfoLength = 8;

inline constexpr std::uint32_t kBlockSize = 32;       // image bytes per SET_FIRMWARE_DATA
inline constexpr std::size_t kDataPieceSize = 39;     // a full data packet: 7 + 32 bytes
inline constexpr std::size_t kMaxCommandPacket = 63;  // a command packet fits one report

// A reply, as payload bytes: the controller's count, then the packet.
inline constexpr std::size_t kReplyCount = 0;
inline constexpr std::size_t kReplyMarker = kReportPacket + kPacketMarker;
inline constexpr std::size_t kReplyType = kReportPacket + kPacketType;
inline constexpr std::size_t kReplyCommand = kReportPacket + kPacketCommand;
inline constexpr std::size_t kReplyVersion = kReportPacket + kPacketArguments;       // LE32
inline constexpr std::size_t kReplyFirmwareType = kReportPacket + kPacketBody + 36;  // LE32

// The command packet: the code alone when there are no arguments (argumentLength 0 or less),
// else code, argument length and the arguments. Returns its size; packet holds at least
// argumentLength + 7 bytes.
inline std::size_t BuildCommandPacket(std::uint8_t command, const std::uint8_t* arguments,
                                      int argumentLength, std::uint8_t* packet) {
  packet[kPacketMarker] = 0x00;
  packet[kPacketType] = FIRMWARE_PACKET;
  packet[kPacketCommand] = command;
  if (argumentLength <= 0) {
    WriteLe16(packet + kPacketBodyLength, 1);
    return kShortPacketBytes;
  }
  const auto count = static_cast<std::size_t>(argumentLength);
  WriteLe16(packet + kPacketBodyLength, static_cast<std::uint16_t>(count + 3));
  WriteLe16(packet + kPacketArgumentLength, static_cast<std::uint16_t>(count));
  for (std::size_t i = 0; i < count; ++i) packet[kPacketArguments + i] = arguments[i];
  return kPacketArguments + count;
}

// The whole report of a short packet (UPDATE_REQUEST, RECV_FAILED): count 5, then the packet.
struct ShortPacketReport {
  std::uint8_t bytes[kReportPacket + kShortPacketBytes];
};
inline ShortPacketReport BuildShortPacket(std::uint8_t type, std::uint8_t value) {
  return {{static_cast<std::uint8_t>(kShortPacketBytes), 0x00, type, 0x01, 0x00, value}};
}

}  // namespace framed
}  // namespace kestro
