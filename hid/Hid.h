// The controller as a HID device: finding it, opening it, and exchanging 65-byte reports with
// time-outs. CHid knows nothing of the reports' contents.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/HidPort.h"

namespace kestro {

// Which protocol the controller found last speaks.
enum DeviceKindValue : std::uint32_t {
  kDeviceKindNormal = 0,  // normal firmware: the framed command protocol
  kDeviceKindBoot = 1,    // boot mode: the bootloader protocol
};

// Process-wide; written only by FindDevice when it finds a controller.
extern std::atomic<std::uint32_t> DeviceKind;

// The supported vendor and product ids.
inline constexpr std::uint16_t kVendorSt = 0x0483;
inline constexpr std::uint16_t kVendorKestro = 0x3A7C;
inline constexpr std::uint16_t kProductNormal = 0x5750;
inline constexpr std::uint16_t kProductBoot = 0x3002;
// One of the three pairs; vendor 0x0483 with product 0x3002 is not.
bool IsSupportedController(const HidAttributes& attributes);

// Read time-outs: before the first OpenDevice; from OpenDevice on, which the version query and an
// update's start read with; and from the user's confirmation of an image on, for the transfer.
inline constexpr std::uint32_t kInitialReadTimeoutMs = 10;
inline constexpr std::uint32_t kOpenedReadTimeoutMs = 200;
inline constexpr std::uint32_t kTransferReadTimeoutMs = 10;
// A controller that stops taking output reports must not block a thread (and, through CHid's
// lock, the window): a report not delivered within a second has failed.
inline constexpr std::uint32_t kWriteTimeoutMs = 1000;

class CHid {
 public:
  explicit CHid(HidPort& port);
  ~CHid();
  CHid(const CHid&) = delete;
  CHid& operator=(const CHid&) = delete;

  // 1 when a supported controller was found, else 0.
  int FindDevice();
  // From now on the searches look at this interface only (its path as the system gives it, letter
  // case aside): a front that works with one chosen controller among several.
  void LimitTo(std::wstring path);
  // 1 when both handles were opened, else 0.
  int OpenDevice();
  // Non-zero when the report was written; 0 when the write failed or the device is not open.
  int WriteReport(const std::uint8_t* source, std::uint8_t count);
  // kWaitReceived (count payload bytes copied), kWaitTimeout, kWaitNotOpen, or kWaitReadFailed.
  std::uint32_t ReadReport(std::uint8_t* destination, std::uint8_t count);
  void SetReadTimeout(std::uint32_t milliseconds);
  bool RegisterDeviceNotifications();

  bool DevicePresent() const { return m_DevicePresent.load() != 0; }
  // The system's error code of this thread's last failed port call.
  std::uint32_t LastPortError() { return m_port.LastError(); }
  std::wstring DevicePath() const;
  // The vendor and product id of the controller found last.
  HidAttributes DeviceAttributes() const;
  // Which plugging-in of a controller the last search found: a new number whenever a search
  // finds none, or finds one after none or at another path, so that what was learnt of one
  // controller is never taken for the next.
  std::uint32_t Connection() const { return m_Connection.load(); }
  std::uint32_t ReadTimeout() const { return m_ReadTimeout.load(); }

  // The process-wide output report buffer (65 bytes), as the last write left it.
  static void CopyOutputReport(std::uint8_t (&report)[kReportSize]);
  // Back to all zeros, as at process start: for tests that start a fresh world.
  static void ClearOutputReport();

  NativeWindow m_NotifyWindow = nullptr;

 private:
  // The first supported controller; the probe handle open on it, or none.
  OwnedHandle Search();
  void CloseHandles();

  HidPort& m_port;

  // Serialises every operation: no two writes share the output report buffer, and OpenDevice
  // never replaces handles that the other thread's read or write is using.
  mutable std::recursive_mutex m_lock;

  std::atomic<int> m_DevicePresent{0};
  std::atomic<std::uint32_t> m_Connection{0};
  OwnedHandle m_WriteHandle;
  OwnedHandle m_ReadHandle;
  std::wstring m_DevicePath;
  HidAttributes m_DeviceAttributes;
  std::wstring m_OnlyPath;  // empty: any interface
  std::atomic<std::uint32_t> m_ReadTimeout{kInitialReadTimeoutMs};
  int m_NotificationsRegistered = 0;
  NotifyRegistration m_DeviceNotify = nullptr;
};

}  // namespace kestro
