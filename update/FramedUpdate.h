// The framed command protocol, for a controller running its normal firmware: the version query
// and the update that the controller paces, asking for each block of the image.
#pragma once

#include <atomic>
#include <cstdint>

#include "update/FramedWire.h"
#include "update/PackageSelection.h"
#include "update/UpdateSession.h"

namespace kestro {

// Bounds of the waits the protocol leaves open.
// The start-up and arrival version query runs on the UI thread: a second is plenty for a
// controller that answers at all, and keeps the window from freezing.
inline constexpr std::uint32_t kVersionQueryBoundMs = 1000;
// A transfer ends as a failure when no reply has moved it on for this long; a slow controller
// asks for its next block within well under a second. Reports the protocol ignores do not count:
// a controller that only talks nonsense is as stuck as a silent one.
inline constexpr std::uint32_t kSilenceBoundMs = 5000;
// After SET_FIRMWARE_INFO the controller may erase its flash before it asks for the first block:
// erasing a few hundred KiB page by page takes seconds, tens of seconds on slow parts.
inline constexpr std::uint32_t kEraseBoundMs = 30000;
// Read errors (not time-outs) in a row that mean the controller is gone.
inline constexpr std::uint32_t kReadErrorBound = 5;
// Data requests at which the package may fail to open before the update is given up.
inline constexpr std::uint32_t kPackageOpenTries = 3;

class FramedUpdate {
 public:
  explicit FramedUpdate(UpdateSession& session) : m_session(session), m_selection(session) {}

  bool SendShortPacket(std::uint8_t type, std::uint8_t value);
  bool SendFirmwarePacket(std::uint8_t command, const std::uint8_t* arguments, int argumentLength);
  void SendFirmwareInfo();
  bool SendFirmwareData(const std::uint8_t* block, std::uint32_t length);
  // GET_DEVICE_VERSION and its reply, on a controller just opened.
  void QueryVersion();
  void Usb_UpdateThread();
  // True when the reply moved the update on (the protocol acted on it for the transfer).
  bool HandleFramedReply(const std::uint8_t* reply);
  bool HandleFirmwarePacket(const std::uint8_t* reply);
  void AbortUpdate();
  void ReportUpdateFailure();

 private:
  bool HandleUpdateInfo(const std::uint8_t* reply);
  void HandleVersionReply(const std::uint8_t* reply);
  bool HandleDataRequest();

  // The transfer ends as a failure; `why` and where it stood go to the diagnostics.
  void FailTransfer(const wchar_t* why);

  UpdateSession& m_session;
  PackageSelection m_selection;
  // From the last UPDATE_INFO.
  std::uint32_t m_firmwareType = 0;
  // Set once this worker has sent the whole image: only then is SET_FIRMWARE_END a success.
  std::atomic<bool> m_wholeImageSent{false};
  std::uint32_t m_packageOpenFailures = 0;
};

}  // namespace kestro
