// The firmware update: image selection, the framed command protocol (normal firmware) and the
// bootloader protocol (boot mode), over the dialog's CHid and UpdateContext.
#pragma once

#include <atomic>
#include <cstdint>

#include "hid/Hid.h"
#include "update/UpdateContext.h"
#include "update/UpdateHost.h"
#include "update/UpdateState.h"

namespace kestro {

// Framed protocol: packet types.
inline constexpr std::uint8_t FIRMWARE_PACKET = 0x16;
inline constexpr std::uint8_t UPDATE_INFO = 0x19;
inline constexpr std::uint8_t UPDATE_REQUEST = 0x1A;
inline constexpr std::uint8_t RECV_FAILED = 0x1D;
// Framed protocol: command codes.
inline constexpr std::uint8_t SET_FIRMWARE_DATA = 0;
inline constexpr std::uint8_t SET_FIRMWARE_INFO = 1;
inline constexpr std::uint8_t SET_FIRMWARE_END = 2;
inline constexpr std::uint8_t GET_DEVICE_VERSION = 4;
inline constexpr std::uint8_t FIRMWARE_DATA_REQUEST = 20;
inline constexpr std::uint8_t FIRMWARE_FAILURE_A = 21;
inline constexpr std::uint8_t FIRMWARE_FAILURE_B = 24;

inline constexpr std::uint32_t kFramedBlockSize = 32;
inline constexpr std::size_t kDataPieceSize = 39;  // a full data packet: 7 + 32 bytes
inline constexpr std::uint32_t kFirmwareInfoArgs = 28;

// Bootloader protocol: command codes and values.
inline constexpr std::uint16_t BOOT_WRITE_PARAM = 2;
inline constexpr std::uint16_t BOOT_WRITE_IMAGE = 3;
inline constexpr std::uint16_t BOOT_START = 4;
inline constexpr std::uint16_t BOOT_FINISH = 7;
inline constexpr std::uint16_t BOOT_GET_INFO = 0xC0;
inline constexpr std::uint16_t BOOT_BUSY = 16;
inline constexpr std::uint32_t kBootBlockSize = 46;
inline constexpr std::uint32_t kBootInfoSize = 44;
inline constexpr std::uint32_t kVersionParamAddress = 0x08000034;

// Bounds of the waits the protocols leave open.
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
// Resends of a boot block that is not acknowledged.
inline constexpr std::uint32_t kBootBlockResends = 5;
// A boot block sent more than once can earn one acknowledgement per frame. The boot loader answers
// its frames in order, so once this long has passed without any of them, the ones still owed are
// lost; longer than the slowest page write we have seen answered (1.5 s).
inline constexpr std::uint32_t kLateAckWindowMs = 2000;
// Erasing flash before BOOT_START is acknowledged takes seconds; a controller still busy after a
// minute is not coming back.
inline constexpr std::uint32_t kBootStartBoundMs = 60000;

class Updater {
 public:
  Updater(CHid& hid, UpdateContext& context, UpdateHost& host)
      : m_hid(hid), m_context(context), m_host(host) {}

  // Package and selection.
  bool SelectPackageImage();

  // Framed command protocol.
  bool SendShortPacket(std::uint8_t type, std::uint8_t value);
  bool SendFirmwarePacket(std::uint8_t command, const std::uint8_t* arguments, int argumentLength);
  void SendFirmwareInfo();
  bool SendFirmwareData(const std::uint8_t* block, std::uint32_t length);
  void QueryDeviceVersion();
  void Usb_UpdateThread();
  // True when the reply moved the update on (the protocol acted on it for the transfer).
  bool HandleFramedReply(const std::uint8_t* reply);
  bool HandleFirmwarePacket(const std::uint8_t* reply);
  void AbortUpdate();
  void ReportUpdateFailure();

  // Bootloader protocol.
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
  bool HandleDataRequest();
  // One image block until it is acknowledged (resent while it is not), then the acknowledgements
  // its extra frames still owe are read off. False when it was never acknowledged.
  bool WriteImageBlock(std::uint32_t offset, std::uint32_t count);
  void ReadOffLateAcks(std::uint16_t command, std::uint32_t owed);
  // Reads the next block of the image, clipped to what remains of it; false when the package
  // cannot give those bytes.
  bool ReadImageBlock(std::uint32_t blockSize, std::uint32_t& count);
  void ShowFailure();
  void ShowSuccess();
  enum class BootReply { Acknowledged, Busy, None };
  BootReply CheckBootReply(std::uint32_t readResult, const std::uint8_t* reply,
                           std::uint16_t command) const;

  CHid& m_hid;
  UpdateContext& m_context;
  UpdateHost& m_host;
  // The protocol this worker runs, fixed when it starts: a device search during the update may
  // find another controller, but this one is finished as it was begun.
  DeviceKindValue m_kind = kDeviceKindNormal;
  // Set once this worker has sent the whole image: only then is SET_FIRMWARE_END a success.
  std::atomic<bool> m_wholeImageSent{false};
  std::uint32_t m_packageOpenFailures = 0;
};

}  // namespace kestro
