#include "sim/NormalController.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "sim/Wire.h"

namespace kestro::sim {
namespace {

// Packet types and command codes of the framed protocol.
constexpr std::uint8_t FIRMWARE_PACKET = 0x16;
constexpr std::uint8_t UPDATE_INFO = 0x19;
constexpr std::uint8_t UPDATE_REQUEST = 0x1A;
constexpr std::uint8_t RECV_FAILED = 0x1D;
constexpr std::uint8_t SET_FIRMWARE_DATA = 0;
constexpr std::uint8_t SET_FIRMWARE_INFO = 1;
constexpr std::uint8_t SET_FIRMWARE_END = 2;
constexpr std::uint8_t GET_DEVICE_VERSION = 4;
constexpr std::uint8_t FIRMWARE_DATA_REQUEST = 20;

constexpr std::size_t kPacketBody = 4;  // behind the head: 0x00, type, body length (LE16)
constexpr std::size_t kMaxCommandPacket = kPayloadSize - 1;  // behind the count byte
constexpr std::size_t kFirmwareInfoArgs = 28;
constexpr std::size_t kBlockSize = 32;  // image bytes per SET_FIRMWARE_DATA at most
// The controller's update information; the host reads only the firmware type at body 36.
constexpr std::size_t kUpdateInfoBodyBytes = 40;
constexpr std::size_t kFirmwareTypeOffset = 36;
// Fault reports: a type the protocol does not have, and a command it does not have. The first
// carries the data-request code where a command code would sit, so a host that skipped the type
// test would answer it.
constexpr std::uint8_t kUnknownType = 0x30;
constexpr std::uint8_t kUnknownCommand = 0x33;

std::vector<std::uint8_t> MakePacket(std::uint8_t type, const std::vector<std::uint8_t>& body) {
  std::vector<std::uint8_t> packet(kPacketBody);
  packet[1] = type;
  WriteLe16(packet.data() + 2, static_cast<std::uint16_t>(body.size()));
  packet.insert(packet.end(), body.begin(), body.end());
  return packet;
}

// A command packet: the code alone without arguments, else code, argument length, arguments.
std::vector<std::uint8_t> MakeCommand(std::uint8_t command,
                                      const std::vector<std::uint8_t>& args = {}) {
  std::vector<std::uint8_t> body{command};
  if (!args.empty()) {
    body.resize(3);
    WriteLe16(body.data() + 1, static_cast<std::uint16_t>(args.size()));
    body.insert(body.end(), args.begin(), args.end());
  }
  return MakePacket(FIRMWARE_PACKET, body);
}

// One input report: payload byte 0 counts the packet's bytes, the packet follows.
Reaction::Input Report(const std::vector<std::uint8_t>& packet) {
  Reaction::Input input{};
  input.bytes[0] = static_cast<std::uint8_t>(packet.size());
  std::memcpy(input.bytes + 1, packet.data(), packet.size());
  return input;
}

std::vector<std::uint8_t> Le32Bytes(std::uint32_t value) {
  std::vector<std::uint8_t> bytes(4);
  WriteLe32(bytes.data(), value);
  return bytes;
}

}  // namespace

NormalController::NormalController(NormalConfig config)
    : m_config(std::move(config)), m_runningVersion(m_config.version) {}

void NormalController::OnOutput(const OutputReport& report, DeviceHost& host) {
  Reaction reaction;
  std::function<void(const std::string&)> log;
  {
    std::lock_guard lock(m_mutex);
    const std::uint8_t* payload = report + 1;
    std::memcpy(m_outputs.emplace_back().data(), payload, kPayloadSize);
    const std::size_t count = payload[0];
    if (count < kPacketBody + 1 || count > kMaxCommandPacket) {
      ++m_malformed;
      reaction.lines.push_back(Format("ignored: count byte %zu", count));
    } else {
      HandlePacket(payload + 1, count, reaction);
    }
    if (m_config.faults.noiseOnly || m_noisy) {
      reaction.inputs.clear();
      AddNoise(reaction);
    }
    log = m_log;
  }
  reaction.Deliver(host, m_config.faults.answerDelayMs, log);
}

void NormalController::HandlePacket(const std::uint8_t* packet, std::size_t size,
                                    Reaction& reaction) {
  const std::uint8_t type = packet[1];
  const std::size_t bodyLength = ReadLe16(packet + 2);
  if (packet[0] != 0 || bodyLength + kPacketBody != size) {
    ++m_malformed;
    reaction.lines.push_back(Format("ignored: packet head %02x %02x, body length %zu of %zu bytes",
                                    packet[0], type, bodyLength, size));
    return;
  }
  const std::uint8_t* body = packet + kPacketBody;
  if (type == UPDATE_REQUEST || type == RECV_FAILED) {
    if (bodyLength != 1 || body[0] != 0) {
      ++m_malformed;
      reaction.lines.push_back(Format("ignored: short packet %02x of %zu bytes", type, bodyLength));
      return;
    }
    if (type == RECV_FAILED) {
      // The host sends one every 10 ms while it waits; answering them would flood it.
      ++m_recvFailed;
      return;
    }
    // A new update: whatever an earlier one left is forgotten.
    m_updateRequested = true;
    m_announced = false;
    m_infoArgs.clear();
    ForgetTransfer();
    reaction.lines.push_back("update requested");
    std::vector<std::uint8_t> info(kUpdateInfoBodyBytes);
    const std::vector<std::uint8_t> firmwareType = Le32Bytes(m_config.firmwareType);
    std::copy(firmwareType.begin(), firmwareType.end(), info.begin() + kFirmwareTypeOffset);
    Answer(MakePacket(UPDATE_INFO, info), reaction);
    return;
  }
  if (type != FIRMWARE_PACKET) {
    ++m_malformed;
    reaction.lines.push_back(Format("ignored: packet type %02x", type));
    return;
  }
  // Command body: the code alone (length 1), or code, argument length and arguments.
  if (bodyLength == 1) {
    HandleCommand(body[0], nullptr, 0, reaction);
  } else if (bodyLength >= 3 && std::size_t{ReadLe16(body + 1)} + 3 == bodyLength) {
    HandleCommand(body[0], body + 3, bodyLength - 3, reaction);
  } else {
    ++m_malformed;
    reaction.lines.push_back(Format("ignored: command body of %zu bytes", bodyLength));
  }
}

void NormalController::ForgetTransfer() {
  m_image.clear();
  m_dataRequests = 0;
  m_ended = m_failed = m_extraDataAfterEnd = false;
}

void NormalController::HandleCommand(std::uint8_t command, const std::uint8_t* args,
                                     std::size_t argCount, Reaction& reaction) {
  switch (command) {
    case GET_DEVICE_VERSION:
      if (argCount != 0) break;
      ++m_versionQueries;
      reaction.lines.push_back("version asked");
      Answer(MakeCommand(GET_DEVICE_VERSION, Le32Bytes(m_runningVersion)), reaction);
      return;
    case SET_FIRMWARE_INFO:
      if (argCount != kFirmwareInfoArgs) break;
      m_announced = true;
      m_infoArgs.assign(args, args + argCount);
      ForgetTransfer();
      reaction.lines.push_back(Format("image announced: version 0x%x, base 0x%08x, length %u",
                                      InfoWord(0), InfoWord(4), InfoWord(8)));
      NextDataRequest(reaction);
      return;
    case SET_FIRMWARE_DATA:
      if (argCount > kBlockSize) break;
      if (m_ended) {
        m_extraDataAfterEnd = true;
        reaction.lines.push_back(Format("ignored: %zu data bytes after the end", argCount));
        return;
      }
      if (!m_announced || m_failed) {
        reaction.lines.push_back(Format("ignored: %zu data bytes, no transfer", argCount));
        return;
      }
      m_image.insert(m_image.end(), args, args + argCount);
      reaction.lines.push_back(Format("block %u: %zu bytes (%zu/%u)", m_dataRequests - 1, argCount,
                                      m_image.size(), InfoWord(8)));
      // While short of the length this asks for more; once the image is whole, the one more
      // request is the host's cue to send the end command.
      NextDataRequest(reaction);
      return;
    case SET_FIRMWARE_END:
      if (argCount != 0) break;
      m_ended = true;
      if (m_announced && !m_failed && m_image.size() == InfoWord(8)) m_runningVersion = InfoWord(0);
      reaction.lines.push_back("end");
      return;
    default:
      break;
  }
  ++m_malformed;
  reaction.lines.push_back(
      Format("ignored: command %u with %zu argument bytes", command, argCount));
}

void NormalController::NextDataRequest(Reaction& reaction) {
  const int block = static_cast<int>(m_dataRequests);
  if (block == m_config.faults.failAtBlock) {
    m_failed = true;
    reaction.lines.push_back("failure reported");
    Answer(MakeCommand(m_config.faults.failCode), reaction);
  } else if (block == m_config.faults.detachAtBlock) {
    m_failed = true;
    reaction.lines.push_back("detached");
    reaction.detach = true;
  } else if (block == m_config.faults.silentFromBlock) {
    m_silent = true;
    reaction.lines.push_back("silent from now on");
  } else if (block == m_config.faults.noiseFromBlock) {
    m_noisy = true;
    reaction.lines.push_back("talking noise from now on");
  } else {
    ++m_dataRequests;
    Answer(MakeCommand(FIRMWARE_DATA_REQUEST), reaction);
    if (block == m_config.faults.stallAtBlock) {
      reaction.stopTakingOutput = true;
      reaction.lines.push_back("takes no output reports from now on");
    }
    if (block == 0 && m_config.faults.firstRequestDelayMs != 0 && !reaction.inputs.empty()) {
      reaction.inputs.back().extraDelayMs = m_config.faults.firstRequestDelayMs;
      reaction.lines.push_back(
          Format("erasing: first request in %u ms", m_config.faults.firstRequestDelayMs));
    }
  }
}

void NormalController::AddNoise(Reaction& reaction) {
  std::vector<std::uint8_t> spoiled = MakeCommand(FIRMWARE_DATA_REQUEST);
  spoiled[0] = 0x01;
  for (const auto& packet :
       {spoiled, MakePacket(kUnknownType, {FIRMWARE_DATA_REQUEST}), MakeCommand(kUnknownCommand)}) {
    reaction.inputs.push_back(Report(packet));
  }
}

void NormalController::Answer(const std::vector<std::uint8_t>& packet, Reaction& reaction) {
  const NormalFaults& faults = m_config.faults;
  if (faults.silent || m_silent || (faults.silentAfterAnnounce && m_announced)) return;
  auto report = Report;
  if (faults.badFirstByte) {
    // The very answer, spoiled only in its first packet byte.
    Reaction::Input spoiled = report(packet);
    spoiled.bytes[1] = 0x01;
    reaction.inputs.push_back(spoiled);
  }
  if (faults.unknownTypes) {
    reaction.inputs.push_back(report(MakePacket(kUnknownType, {FIRMWARE_DATA_REQUEST})));
    reaction.inputs.push_back(report(MakeCommand(kUnknownCommand)));
  }
  for (int i = 0; i < faults.noiseBurst; ++i) {
    reaction.inputs.push_back(report(MakeCommand(kUnknownCommand, {static_cast<std::uint8_t>(i)})));
  }
  reaction.inputs.push_back(report(packet));
}

std::uint32_t NormalController::VersionQueries() const {
  std::lock_guard lock(m_mutex);
  return m_versionQueries;
}

bool NormalController::UpdateRequested() const {
  std::lock_guard lock(m_mutex);
  return m_updateRequested;
}

bool NormalController::Announced() const {
  std::lock_guard lock(m_mutex);
  return m_announced;
}

std::uint32_t NormalController::InfoWord(std::size_t offset) const {
  return m_infoArgs.size() == kFirmwareInfoArgs ? ReadLe32(m_infoArgs.data() + offset) : 0;
}

std::uint32_t NormalController::AnnouncedVersion() const {
  std::lock_guard lock(m_mutex);
  return InfoWord(0);
}

std::uint32_t NormalController::AnnouncedBase() const {
  std::lock_guard lock(m_mutex);
  return InfoWord(4);
}

std::uint32_t NormalController::AnnouncedLength() const {
  std::lock_guard lock(m_mutex);
  return InfoWord(8);
}

std::vector<std::uint8_t> NormalController::AnnouncedInfoArgs() const {
  std::lock_guard lock(m_mutex);
  return m_infoArgs;
}

std::vector<std::uint8_t> NormalController::ReceivedImage() const {
  std::lock_guard lock(m_mutex);
  return m_image;
}

std::uint32_t NormalController::DataRequests() const {
  std::lock_guard lock(m_mutex);
  return m_dataRequests;
}

std::uint32_t NormalController::RecvFailed() const {
  std::lock_guard lock(m_mutex);
  return m_recvFailed;
}

bool NormalController::Ended() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}

bool NormalController::ReceivedBeyondLength() const {
  std::lock_guard lock(m_mutex);
  return m_announced && m_image.size() > InfoWord(8);
}

bool NormalController::ExtraDataAfterEnd() const {
  std::lock_guard lock(m_mutex);
  return m_extraDataAfterEnd;
}

std::uint32_t NormalController::MalformedReports() const {
  std::lock_guard lock(m_mutex);
  return m_malformed;
}

std::vector<std::vector<std::uint8_t>> NormalController::Outputs() const {
  std::lock_guard lock(m_mutex);
  std::vector<std::vector<std::uint8_t>> outputs;
  outputs.reserve(m_outputs.size());
  for (const auto& payload : m_outputs) outputs.emplace_back(payload.begin(), payload.end());
  return outputs;
}

void NormalController::SetEventLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(m_mutex);
  m_log = std::move(log);
}

}  // namespace kestro::sim
