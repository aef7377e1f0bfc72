// USB traffic read from a capture file with libpcap, whichever system captured it: Linux usbmon
// (link types USB_LINUX, 48-byte header, and USB_LINUX_MMAPPED, 64 bytes) or Windows USBPcap
// (USBPCAP), in pcap or pcapng files. Each packet is brought to one form, so that what is made of
// the traffic does not depend on where it was captured.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct pcap;

namespace kestro::replay {

enum class Transfer : std::uint8_t { kIsochronous, kInterrupt, kControl, kBulk, kOther };

// How a transfer ended. Both systems' status codes are sorted by what they mean for a session: the
// host's own cancellation (a device closed, a driver unloaded) is no failure of the device.
enum class Ending : std::uint8_t { kOk, kCancelled, kDeviceGone, kFailed };

struct UsbPacket {
  std::uint64_t time = 0;     // microseconds, the capture's clock
  std::uint64_t request = 0;  // the same in a transfer's submission and completion
  std::uint16_t bus = 0;
  std::uint16_t address = 0;
  std::uint8_t endpoint = 0;  // as bEndpointAddress: bit 7 set for IN
  Transfer transfer = Transfer::kOther;
  bool completion = false;      // a submission otherwise; usbmon's failed submission counts as one
  Ending ending = Ending::kOk;  // completions only
  // A failure's code: the errno for usbmon (positive), the USBD_STATUS for USBPcap.
  std::uint32_t code = 0;
  std::optional<std::array<std::uint8_t, 8>> setup;  // a control transfer's submission
  std::uint32_t length = 0;                          // the data's length as the capture states it
  std::vector<std::uint8_t> data;  // the bytes captured: fewer than length when cut short

  bool In() const { return (endpoint & 0x80) != 0; }
};

class CaptureReader {
 public:
  CaptureReader();
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // Empty when the file is open and holds USB traffic in one of the three link types; else why
  // not, in a few words.
  std::string Open(const std::string& path);

  enum class Result { kPacket, kUnreadable, kEnd, kError };
  // kUnreadable: a packet too short for its own header; kError: the file is damaged or cut short
  // (Error() says how).
  Result Read(UsbPacket& packet);
  const std::string& Error() const { return m_error; }

 private:
  struct Close {
    void operator()(pcap* handle) const;
  };
  std::unique_ptr<pcap, Close> m_pcap;
  int m_linkType = 0;
  std::string m_error;
};

}  // namespace kestro::replay
