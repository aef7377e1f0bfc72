#include "sim/BootController.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <utility>

#include "sim/Wire.h"

namespace kestro::sim {
namespace {

// The command frame, payload offsets.
constexpr std::size_t kFrameMarker = 0;
constexpr std::uint8_t kMarker = 5;        // begins every frame and every reply
constexpr std::size_t kFrameCommand = 1;   // LE16
constexpr std::size_t kFrameReserved = 3;  // LE16, 0
constexpr std::size_t kFrameLength = 5;    // LE32: data length
constexpr std::size_t kFrameTotal = 9;     // LE32: total length
constexpr std::size_t kFrameAddress = 13;  // LE32: device address
constexpr std::size_t kFrameData = 17;
constexpr std::uint32_t kBootBlockSize = 46;  // image bytes per frame at most

// The reply, payload offsets.
constexpr std::size_t kReplyZero = 0;
constexpr std::size_t kReplyMarker = 1;
constexpr std::size_t kReplyStatus = 2;       // LE16
constexpr std::size_t kReplyCommand = 4;      // LE16: the command answered
constexpr std::size_t kReplyNoiseNumber = 6;  // numbers noise replies, so that no two are alike
constexpr std::size_t kReplyBootInfo = 18;
constexpr std::uint16_t kStatusError = 1;

// BootInfo fields.
constexpr std::size_t kInfoModelId = 0;  // LE16
constexpr std::size_t kInfoVariant = 2;
constexpr std::size_t kInfoVersion = 4;  // LE32

// Erased flash reads as all ones.
constexpr std::uint8_t kErasedByte = 0xFF;

long long Number(std::int64_t block) { return static_cast<long long>(block); }

bool IsBlock(const std::optional<std::int64_t>& block, int setting) {
  return block && *block == setting;
}

}  // namespace

BootController::BootController(BootConfig config) : m_config(std::move(config)) {}

void BootController::OnOutput(const OutputReport& report, DeviceHost& host) {
  const std::uint64_t now = host.NowMs();
  Reaction reaction;
  std::function<void(const std::string&)> log;
  {
    std::lock_guard lock(m_mutex);
    const std::uint8_t* payload = report + 1;
    BootFrame frame;
    frame.command = ReadLe16(payload + kFrameCommand);
    frame.dataLength = ReadLe32(payload + kFrameLength);
    frame.totalLength = ReadLe32(payload + kFrameTotal);
    frame.address = ReadLe32(payload + kFrameAddress);
    if (m_detached) {
      // Gone from the bus: a host that still writes reaches nobody.
    } else if (payload[kFrameMarker] != kMarker || ReadLe16(payload + kFrameReserved) != 0 ||
               frame.dataLength > kBootBlockSize) {
      ++m_malformed;
      reaction.lines.push_back(Format("ignored frame: marker %u, reserved %u, data length %u",
                                      payload[kFrameMarker], ReadLe16(payload + kFrameReserved),
                                      frame.dataLength));
    } else {
      if (frame.command == BOOT_WRITE_IMAGE || frame.command == BOOT_WRITE_PARAM) {
        frame.data.assign(payload + kFrameData, payload + kFrameData + frame.dataLength);
      }
      m_frames.push_back(frame);
      Handle(frame, now, reaction);
    }
    log = m_log;
  }
  reaction.Deliver(host, m_config.faults.answerDelayMs, log);
}

void BootController::Handle(const BootFrame& frame, std::uint64_t now, Reaction& reaction) {
  std::optional<Reply> reply;
  switch (frame.command) {
    case BOOT_GET_INFO:
      reply = GetInfo(frame, reaction);
      break;
    case BOOT_START:
      reply = Start(frame, now, reaction);
      break;
    case BOOT_WRITE_IMAGE:
      reply = WriteImage(frame, reaction);
      break;
    case BOOT_WRITE_PARAM:
      reply = WriteParam(frame, reaction);
      break;
    case BOOT_FINISH:
      reply = Finish(frame, reaction);
      break;
    default:
      // The boot loader knows no such command and stays quiet.
      reaction.lines.push_back(Format("unknown command %u", frame.command));
      break;
  }
  if (reply) Answer(frame.command, *reply, reaction);
}

auto BootController::GetInfo(const BootFrame& frame, Reaction& reaction) const
    -> std::optional<Reply> {
  reaction.lines.push_back("info asked");
  Reply reply{.command = frame.command};
  std::uint8_t* info = reply.bytes + kReplyBootInfo;
  WriteLe16(info + kInfoModelId, m_config.modelId);
  info[kInfoVariant] = m_config.variant;
  WriteLe32(info + kInfoVersion, m_config.version);
  return reply;
}

auto BootController::Start(const BootFrame& frame, std::uint64_t now, Reaction& reaction)
    -> std::optional<Reply> {
  const BootFaults& faults = m_config.faults;
  Reply reply{.command = frame.command};
  if (!m_firstStartMs) m_firstStartMs = now;
  if (now - *m_firstStartMs < faults.busyForMs) {
    reply.status = BOOT_BUSY;
    if (faults.busyAnswersForOtherCommand >= 0) {
      reply.command = static_cast<std::uint16_t>(faults.busyAnswersForOtherCommand);
    }
    reaction.lines.push_back("start: busy");
    return reply;
  }
  m_started = true;
  m_rangeBase = frame.address;
  m_rangeTotal = frame.totalLength;
  m_ackLost = m_ackLate = m_blockLost = false;
  reaction.lines.push_back(
      Format("start: base 0x%08x, total %u", frame.address, frame.totalLength));
  return reply;
}

auto BootController::WriteImage(const BootFrame& frame, Reaction& reaction)
    -> std::optional<Reply> {
  // Numbered by where it lands, a block sent again keeps its number; a frame below the range
  // has none and so meets no block fault.
  Block block;
  if (frame.address >= m_rangeBase) block = (frame.address - m_rangeBase) / kBootBlockSize;
  if (LoseFrame(block, reaction)) return std::nullopt;
  WriteFlash(frame);
  reaction.lines.push_back(
      block ? Format("block %lld: %u bytes at 0x%08x", Number(*block), frame.dataLength,
                     frame.address)
            : Format("below the range: %u bytes at 0x%08x", frame.dataLength, frame.address));
  if (LoseAcknowledgement(block, reaction)) return std::nullopt;
  Reply reply{.command = frame.command};
  HinderAcknowledgement(block, reply, reaction);
  return reply;
}

auto BootController::WriteParam(const BootFrame& frame, Reaction& reaction)
    -> std::optional<Reply> {
  if (frame.address == kVersionParamAddress && frame.data.size() == 4) {
    m_versionWord = ReadLe32(frame.data.data());
    reaction.lines.push_back(Format("version word 0x%08x", *m_versionWord));
  } else {
    reaction.lines.push_back(
        Format("parameter: %u bytes at 0x%08x", frame.dataLength, frame.address));
  }
  return Reply{.command = frame.command};
}

auto BootController::Finish(const BootFrame& frame, Reaction& reaction) -> std::optional<Reply> {
  m_finished = true;
  reaction.lines.push_back("finish");
  return Reply{.command = frame.command};
}

void BootController::WriteFlash(const BootFrame& frame) {
  const std::uint64_t rangeEnd = std::uint64_t{m_rangeBase} + m_rangeTotal;
  for (std::size_t i = 0; i < frame.data.size(); ++i) {
    const std::uint64_t address = std::uint64_t{frame.address} + i;
    if (!m_started || address < m_rangeBase || address >= rangeEnd) ++m_bytesBeyondRange;
    if (address > 0xFFFFFFFFu) continue;
    auto [where, inserted] = m_flash.emplace(static_cast<std::uint32_t>(address), frame.data[i]);
    if (!inserted && where->second != frame.data[i]) {
      m_rewrittenDifferently = true;
      where->second = frame.data[i];
    }
  }
}

bool BootController::LoseFrame(const Block& block, Reaction& reaction) {
  const BootFaults& faults = m_config.faults;
  if (IsBlock(block, faults.detachAtBlock)) {
    m_detached = true;
    reaction.detach = true;
    reaction.lines.push_back("detached");
    return true;
  }
  if (IsBlock(block, faults.lostBlock) && !m_blockLost) {
    m_blockLost = true;
    reaction.lines.push_back(Format("block %lld: frame lost", Number(*block)));
    return true;
  }
  return false;
}

bool BootController::LoseAcknowledgement(const Block& block, Reaction& reaction) {
  if (!IsBlock(block, m_config.faults.lostAckBlock) || m_ackLost) return false;
  // Written, but the acknowledgement never reaches the host: it will send the block again.
  m_ackLost = true;
  reaction.lines.push_back(Format("block %lld: acknowledgement lost", Number(*block)));
  return true;
}

void BootController::HinderAcknowledgement(const Block& block, Reply& reply, Reaction& reaction) {
  const BootFaults& faults = m_config.faults;
  if (faults.stallAtBlock >= 0 && block && *block + 1 == faults.stallAtBlock) {
    reaction.stopTakingOutput = true;
    reaction.lines.push_back("takes no output reports from now on");
  }
  if (IsBlock(block, faults.lateAckBlock) && !m_ackLate) {
    m_ackLate = true;
    reply.extraDelayMs = faults.lateAckMs;
    reaction.lines.push_back(
        Format("block %lld: acknowledged %u ms late", Number(*block), faults.lateAckMs));
  }
  reply.noise = faults.noiseBurst;
}

void BootController::Answer(std::uint16_t command, Reply reply, Reaction& reaction) const {
  const BootFaults& faults = m_config.faults;
  const int code = command;
  if (code == faults.silentTo) {
    reaction.lines.push_back(Format("command %u: not answered", command));
    return;
  }
  if (code == faults.wrongCodeFor) ++reply.command;
  if (code == faults.wrongStatusFor) reply.status = kStatusError;
  Reaction::Input input{};
  std::copy(std::begin(reply.bytes), std::end(reply.bytes), input.bytes);
  input.bytes[kReplyZero] = 0;
  input.bytes[kReplyMarker] = kMarker;
  WriteLe16(input.bytes + kReplyStatus, reply.status);
  WriteLe16(input.bytes + kReplyCommand, reply.command);
  input.extraDelayMs = reply.extraDelayMs;
  for (int i = 0; i < reply.noise; ++i) {
    Reaction::Input noise = input;
    noise.bytes[kReplyMarker] = 0;  // no marker: an acknowledgement of nothing
    noise.bytes[kReplyNoiseNumber] = static_cast<std::uint8_t>(i);
    reaction.inputs.push_back(noise);
  }
  reaction.inputs.push_back(input);
}

std::vector<BootFrame> BootController::Frames() const {
  std::lock_guard lock(m_mutex);
  return m_frames;
}

std::uint32_t BootController::MalformedFrames() const {
  std::lock_guard lock(m_mutex);
  return m_malformed;
}

std::map<std::uint32_t, std::uint8_t> BootController::Flash() const {
  std::lock_guard lock(m_mutex);
  return m_flash;
}

std::vector<std::uint8_t> BootController::FlashRange(std::uint32_t address,
                                                     std::uint32_t length) const {
  std::lock_guard lock(m_mutex);
  std::vector<std::uint8_t> bytes(length, kErasedByte);
  for (auto it = m_flash.lower_bound(address);
       it != m_flash.end() && std::uint64_t{it->first} < std::uint64_t{address} + length; ++it) {
    bytes[it->first - address] = it->second;
  }
  return bytes;
}

std::optional<std::uint32_t> BootController::VersionWord() const {
  std::lock_guard lock(m_mutex);
  return m_versionWord;
}

bool BootController::Started() const {
  std::lock_guard lock(m_mutex);
  return m_started;
}

bool BootController::Finished() const {
  std::lock_guard lock(m_mutex);
  return m_finished;
}

bool BootController::FlashRewrittenDifferently() const {
  std::lock_guard lock(m_mutex);
  return m_rewrittenDifferently;
}

std::uint32_t BootController::BytesBeyondRange() const {
  std::lock_guard lock(m_mutex);
  return m_bytesBeyondRange;
}

void BootController::SetEventLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(m_mutex);
  m_log = std::move(log);
}

}  // namespace kestro::sim
