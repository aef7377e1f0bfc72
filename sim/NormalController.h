// An emulated controller running its normal firmware: the device side of the framed command
// protocol. It answers the version query, and drives an update the way the controller does:
// update information on request, then one data request per block until it holds the announced
// image, one more request that the host answers with the end command.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "sim/Device.h"

namespace kestro::sim {

struct Reaction;  // sim/Wire.h

struct NormalFaults {
  bool silent = false;  // never answers anything
  std::uint32_t answerDelayMs = 0;
  // Before each answer, one copy of it whose payload byte 1 is not 0 (to be ignored by the host).
  bool badFirstByte = false;
  // Before each answer, one report of an unknown packet type and one FIRMWARE_PACKET with an
  // unknown command code (both to be ignored by the host).
  bool unknownTypes = false;
  // Instead of the data request for block k (0-based, counted from SET_FIRMWARE_INFO), report
  // failure with command code failCode (21 or 24).
  int failAtBlock = -1;
  std::uint8_t failCode = 21;
  int detachAtBlock = -1;            // detach instead of requesting block k
  bool silentAfterAnnounce = false;  // answers nothing once SET_FIRMWARE_INFO has come in
  // The first data request after SET_FIRMWARE_INFO comes this late: the flash is being erased.
  std::uint32_t firstRequestDelayMs = 0;
  // Answers every report, RECV_FAILED included, with reports the host must ignore (bad first
  // byte, unknown type, unknown command) and never with a real answer: from the start, or from
  // the request for block k on.
  bool noiseOnly = false;
  int noiseFromBlock = -1;
  int silentFromBlock = -1;  // instead of requesting block k, answers nothing any more
  // Before each answer, this many reports the host must ignore, all at once: more than a HID
  // handle's queue holds (32) makes the system drop the oldest.
  int noiseBurst = 0;
  // Asks for block k, then takes no output reports any more: the host's write of it never ends.
  int stallAtBlock = -1;
};

struct NormalConfig {
  std::uint16_t vendorId = 0x3A7C;
  std::uint16_t productId = 0x5750;
  // Version word of the running firmware; after a whole image and the end command, the
  // controller runs the new firmware and reports the announced version.
  std::uint32_t version = 123;
  std::uint32_t firmwareType = 1;
  NormalFaults faults;
};

class NormalController : public Device {
 public:
  explicit NormalController(NormalConfig config = {});

  std::uint16_t VendorId() const override { return m_config.vendorId; }
  std::uint16_t ProductId() const override { return m_config.productId; }
  void OnOutput(const OutputReport& report, DeviceHost& host) override;

  // Observations; safe to call while the host's threads are writing.
  std::uint32_t VersionQueries() const;
  bool UpdateRequested() const;
  bool Announced() const;
  std::uint32_t AnnouncedVersion() const;
  std::uint32_t AnnouncedBase() const;
  std::uint32_t AnnouncedLength() const;
  std::vector<std::uint8_t> AnnouncedInfoArgs() const;  // all 28 argument bytes
  // Every image byte received since the last announcement, also those beyond its length.
  std::vector<std::uint8_t> ReceivedImage() const;
  std::uint32_t DataRequests() const;  // data requests sent since the last announcement
  std::uint32_t RecvFailed() const;
  bool Ended() const;
  // More image bytes arrived than were announced: bytes from behind the image.
  bool ReceivedBeyondLength() const;
  // A SET_FIRMWARE_DATA came in after SET_FIRMWARE_END.
  bool ExtraDataAfterEnd() const;
  std::uint32_t MalformedReports() const;
  std::vector<std::vector<std::uint8_t>> Outputs() const;  // every report's 64 payload bytes

  // Human-readable lines about what the controller saw and did, called outside any lock.
  void SetEventLog(std::function<void(const std::string&)> log);

 private:
  void HandlePacket(const std::uint8_t* packet, std::size_t size, Reaction& reaction);
  void HandleCommand(std::uint8_t command, const std::uint8_t* args, std::size_t argCount,
                     Reaction& reaction);
  void Answer(const std::vector<std::uint8_t>& packet, Reaction& reaction);
  void NextDataRequest(Reaction& reaction);
  // Three reports the host must ignore, in place of an answer.
  static void AddNoise(Reaction& reaction);
  // With m_mutex held: what a new update request or announcement leaves behind of the last one.
  void ForgetTransfer();
  std::uint32_t InfoWord(std::size_t offset) const;  // m_mutex held

  const NormalConfig m_config;
  mutable std::mutex m_mutex;
  std::function<void(const std::string&)> m_log;
  // In blocks: a report costs no allocation of its own, and a long poll copies none of the
  // earlier ones (a waiting host writes one every few milliseconds).
  std::deque<std::array<std::uint8_t, kPayloadSize>> m_outputs;
  std::uint32_t m_versionQueries = 0;
  bool m_updateRequested = false;
  bool m_announced = false;
  std::vector<std::uint8_t> m_infoArgs;
  std::vector<std::uint8_t> m_image;
  std::uint32_t m_dataRequests = 0;
  std::uint32_t m_recvFailed = 0;
  std::uint32_t m_malformed = 0;
  bool m_ended = false;
  bool m_failed = false;  // reported failure or detached: the update is over for this controller
  bool m_extraDataAfterEnd = false;
  bool m_noisy = false;   // answers nothing but noise from now on
  bool m_silent = false;  // answers nothing from now on
  std::uint32_t m_runningVersion;
};

}  // namespace kestro::sim
