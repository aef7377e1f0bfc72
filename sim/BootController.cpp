#include "sim/BootController.h"

#include <optional>
#include <utility>

#include "sim/Wire.h"

namespace kestro::sim {
namespace {

// Command frame, payload offsets.
constexpr std::uint8_t kFrameMarker = 5;
constexpr std::size_t kCommandAt = 1;
constexpr std::size_t kReservedAt = 3;
constexpr std::size_t kDataLengthAt = 5;
constexpr std::size_t kTotalAt = 9;
constexpr std::size_t kAddressAt = 13;
constexpr std::size_t kDataAt = 17;
constexpr std::uint32_t kMaxBlockBytes = 46;

// Reply, payload offsets.
constexpr std::uint8_t kReplyMarker = 5;
constexpr std::size_t kStatusAt = 2;
constexpr std::size_t kAnsweredAt = 4;
constexpr std::size_t kInfoAt = 18;
constexpr std::uint16_t kStatusError = 1;

// Erased flash reads as all ones.
constexpr std::uint8_t kErasedByte = 0xFF;

}  // namespace

BootController::BootController(BootConfig config) : config_(std::move(config)) {}

void BootController::OnOutput(const OutputReport& report, DeviceHost& host) {
  const std::uint64_t now = host.NowMs();
  Reaction reaction;
  std::function<void(const std::string&)> log;
  {
    std::lock_guard lock(mutex_);
    const std::uint8_t* payload = report + 1;
    BootFrame frame;
    frame.command = ReadLe16(payload + kCommandAt);
    frame.dataLength = ReadLe32(payload + kDataLengthAt);
    frame.totalLength = ReadLe32(payload + kTotalAt);
    frame.address = ReadLe32(payload + kAddressAt);
    if (detached_) {
      // Gone from the bus: a host that still writes reaches nobody.
    } else if (payload[0] != kFrameMarker || ReadLe16(payload + kReservedAt) != 0 ||
               frame.dataLength > kMaxBlockBytes) {
      ++malformed_;
      reaction.lines.push_back(Format("ignored frame: marker %u, reserved %u, data length %u",
                                      payload[0], ReadLe16(payload + kReservedAt),
                                      frame.dataLength));
    } else {
      if (frame.command == BOOT_WRITE_IMAGE || frame.command == BOOT_WRITE_PARAM) {
        frame.data.assign(payload + kDataAt, payload + kDataAt + frame.dataLength);
      }
      frames_.push_back(frame);
      Handle(frame, now, reaction);
    }
    log = log_;
  }
  reaction.Deliver(host, config_.faults.answerDelayMs, log);
}

void BootController::Handle(const BootFrame& frame, std::uint64_t now, Reaction& reaction) {
  const BootFaults& faults = config_.faults;
  Reaction::Input reply{};
  std::uint32_t extraDelayMs = 0;
  reply.bytes[0] = 0;
  reply.bytes[1] = kReplyMarker;
  std::uint16_t status = kBootStatusDone;
  std::uint16_t answered = frame.command;

  switch (frame.command) {
    case BOOT_GET_INFO: {
      reaction.lines.push_back("info asked");
      std::uint8_t* info = reply.bytes + kInfoAt;
      WriteLe16(info, config_.modelId);
      info[2] = config_.variant;
      WriteLe32(info + 4, config_.version);
      break;
    }
    case BOOT_START:
      if (!firstStartMs_) firstStartMs_ = now;
      if (now - *firstStartMs_ < faults.busyForMs) {
        status = BOOT_BUSY;
        if (faults.busyAnswersForOtherCommand >= 0) {
          answered = static_cast<std::uint16_t>(faults.busyAnswersForOtherCommand);
        }
        reaction.lines.push_back("start: busy");
        break;
      }
      started_ = true;
      rangeBase_ = frame.address;
      rangeTotal_ = frame.totalLength;
      ackLost_ = ackLate_ = blockLost_ = false;
      reaction.lines.push_back(
          Format("start: base 0x%08x, total %u", frame.address, frame.totalLength));
      break;
    case BOOT_WRITE_IMAGE: {
      // Blocks are numbered by where they land, so that a block sent again keeps its number. A
      // frame below the range has no number and so meets no block fault.
      std::optional<std::int64_t> block;
      if (frame.address >= rangeBase_) block = (frame.address - rangeBase_) / kMaxBlockBytes;
      const auto isBlock = [&](int setting) { return block && *block == setting; };
      if (isBlock(faults.detachAtBlock)) {
        detached_ = true;
        reaction.detach = true;
        reaction.lines.push_back("detached");
        return;
      }
      if (isBlock(faults.lostBlock) && !blockLost_) {
        blockLost_ = true;
        reaction.lines.push_back(Format("block %lld: frame lost", static_cast<long long>(*block)));
        return;
      }
      const std::uint64_t rangeEnd = std::uint64_t{rangeBase_} + rangeTotal_;
      for (std::size_t i = 0; i < frame.data.size(); ++i) {
        const std::uint64_t address = std::uint64_t{frame.address} + i;
        if (!started_ || address < rangeBase_ || address >= rangeEnd) ++bytesBeyondRange_;
        if (address > 0xFFFFFFFFu) continue;
        auto [where, inserted] = flash_.emplace(static_cast<std::uint32_t>(address), frame.data[i]);
        if (!inserted && where->second != frame.data[i]) {
          rewrittenDifferently_ = true;
          where->second = frame.data[i];
        }
      }
      reaction.lines.push_back(
          block ? Format("block %lld: %u bytes at 0x%08x", static_cast<long long>(*block),
                         frame.dataLength, frame.address)
                : Format("below the range: %u bytes at 0x%08x", frame.dataLength, frame.address));
      if (isBlock(faults.lostAckBlock) && !ackLost_) {
        // Written, but the acknowledgement never reaches the host: it will send the block again.
        ackLost_ = true;
        reaction.lines.push_back(
            Format("block %lld: acknowledgement lost", static_cast<long long>(*block)));
        return;
      }
      if (faults.stallAtBlock >= 0 && block && *block + 1 == faults.stallAtBlock) {
        reaction.stopTakingOutput = true;
        reaction.lines.push_back("takes no output reports from now on");
      }
      if (isBlock(faults.lateAckBlock) && !ackLate_) {
        ackLate_ = true;
        extraDelayMs = faults.lateAckMs;
        reaction.lines.push_back(Format("block %lld: acknowledged %u ms late",
                                        static_cast<long long>(*block), faults.lateAckMs));
      }
      break;
    }
    case BOOT_WRITE_PARAM:
      if (frame.address == kVersionParamAddress && frame.data.size() == 4) {
        versionWord_ = ReadLe32(frame.data.data());
        reaction.lines.push_back(Format("version word 0x%08x", *versionWord_));
      } else {
        reaction.lines.push_back(
            Format("parameter: %u bytes at 0x%08x", frame.dataLength, frame.address));
      }
      break;
    case BOOT_FINISH:
      finished_ = true;
      reaction.lines.push_back("finish");
      break;
    default:
      // The boot loader knows no such command and stays quiet.
      reaction.lines.push_back(Format("unknown command %u", frame.command));
      return;
  }

  if (static_cast<int>(frame.command) == faults.silentTo) {
    reaction.lines.push_back(Format("command %u: not answered", frame.command));
    return;
  }
  if (static_cast<int>(frame.command) == faults.wrongCodeFor) ++answered;
  if (static_cast<int>(frame.command) == faults.wrongStatusFor) status = kStatusError;
  WriteLe16(reply.bytes + kStatusAt, status);
  WriteLe16(reply.bytes + kAnsweredAt, answered);
  reply.extraDelayMs = extraDelayMs;
  for (int i = 0; frame.command == BOOT_WRITE_IMAGE && i < faults.noiseBurst; ++i) {
    Reaction::Input noise = reply;
    noise.bytes[1] = 0;  // not the reply marker: no acknowledgement of anything
    noise.bytes[6] = static_cast<std::uint8_t>(i);
    reaction.inputs.push_back(noise);
  }
  reaction.inputs.push_back(reply);
}

std::vector<BootFrame> BootController::Frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::uint32_t BootController::MalformedFrames() const {
  std::lock_guard lock(mutex_);
  return malformed_;
}

std::map<std::uint32_t, std::uint8_t> BootController::Flash() const {
  std::lock_guard lock(mutex_);
  return flash_;
}

std::vector<std::uint8_t> BootController::FlashRange(std::uint32_t address,
                                                     std::uint32_t length) const {
  std::lock_guard lock(mutex_);
  std::vector<std::uint8_t> bytes(length, kErasedByte);
  for (auto it = flash_.lower_bound(address);
       it != flash_.end() && std::uint64_t{it->first} < std::uint64_t{address} + length; ++it) {
    bytes[it->first - address] = it->second;
  }
  return bytes;
}

std::optional<std::uint32_t> BootController::VersionWord() const {
  std::lock_guard lock(mutex_);
  return versionWord_;
}

bool BootController::Started() const {
  std::lock_guard lock(mutex_);
  return started_;
}

bool BootController::Finished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool BootController::FlashRewrittenDifferently() const {
  std::lock_guard lock(mutex_);
  return rewrittenDifferently_;
}

std::uint32_t BootController::BytesBeyondRange() const {
  std::lock_guard lock(mutex_);
  return bytesBeyondRange_;
}

void BootController::SetEventLog(std::function<void(const std::string&)> log) {
  std::lock_guard lock(mutex_);
  log_ = std::move(log);
}

}  // namespace kestro::sim
