#include "tools/replay/UsbCapture.h"

#include <pcap/pcap.h>
#include <pcap/usb.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <span>
#include <string_view>

namespace kestro::replay {
namespace {

using Bytes = std::span<const std::uint8_t>;

// LINKTYPE_USBPCAP: USBPcap's packet header, always little-endian and packed.
constexpr std::size_t kUsbPcapBaseHeader = 27;
constexpr std::size_t kUsbPcapControlStage = 27;       // control transfers only: the stage byte
constexpr std::uint8_t kUsbPcapInfoCompletion = 0x01;  // the IRP on its way back from the device
constexpr std::uint8_t kUsbPcapStageSetup = 0;
// USBD_STATUS values that are not a device's failure.
constexpr std::uint32_t kUsbdStatusCanceled = 0xC0010000;
constexpr std::uint32_t kUsbdStatusDeviceGone = 0xC0007000;

constexpr std::size_t kSetupSize = 8;

std::uint16_t Little16(Bytes b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t Little32(Bytes b, std::size_t at) {
  return static_cast<std::uint32_t>(Little16(b, at) | std::uint32_t{Little16(b, at + 2)} << 16);
}
std::uint64_t Little64(Bytes b, std::size_t at) {
  return Little32(b, at) | std::uint64_t{Little32(b, at + 4)} << 32;
}

Transfer TransferOf(std::uint8_t type) {
  // usbmon and USBPcap number the transfer types alike.
  switch (type) {
    case URB_ISOCHRONOUS:
      return Transfer::kIsochronous;
    case URB_INTERRUPT:
      return Transfer::kInterrupt;
    case URB_CONTROL:
      return Transfer::kControl;
    case URB_BULK:
      return Transfer::kBulk;
    default:
      return Transfer::kOther;
  }
}

// The data behind a header: what the capture says it holds, cut to what the packet has.
void TakeData(Bytes packet, std::size_t at, std::uint32_t stated, UsbPacket& out) {
  const Bytes rest = packet.subspan(std::min(at, packet.size()));
  const Bytes data = rest.first(std::min<std::size_t>(stated, rest.size()));
  out.data.assign(data.begin(), data.end());
}

// usbmon's header is in the capturing machine's byte order; libpcap turns it into ours when the
// file comes from a machine of the other order.
bool DecodeUsbmon(Bytes packet, std::size_t headerSize, UsbPacket& out) {
  pcap_usb_header header;  // the 48 bytes both usbmon link types begin with
  if (packet.size() < headerSize) return false;
  std::memcpy(&header, packet.data(), sizeof header);
  out.request = header.id;
  out.bus = header.bus_id;
  out.address = header.device_address;
  out.endpoint = header.endpoint_number;
  out.transfer = TransferOf(header.transfer_type);
  out.completion = header.event_type != URB_SUBMIT;
  // OUT data travels with the submission, IN data with the completion; urb_len is then the
  // transfer's length and data_len what usbmon kept of it.
  if (out.completion == out.In()) {
    out.length = header.urb_len;
    TakeData(packet, headerSize, header.data_len, out);
  }
  if (!out.completion && header.setup_flag == 0) {
    std::array<std::uint8_t, kSetupSize> setup;
    std::memcpy(setup.data(), packet.data() + offsetof(pcap_usb_header, setup), kSetupSize);
    out.setup = setup;
  }
  if (out.completion) {
    const int status = header.status;
    if (status == 0) {
      out.ending = Ending::kOk;
    } else if (status == -ENOENT || status == -ECONNRESET) {
      out.ending = Ending::kCancelled;  // unlinked by the host: the device was closed
    } else if (status == -ENODEV || status == -ESHUTDOWN) {
      out.ending = Ending::kDeviceGone;  // what the kernel gives pending URBs on a disconnect
    } else {
      out.ending = Ending::kFailed;
      out.code = static_cast<std::uint32_t>(status < 0 ? -status : status);
    }
  }
  return true;
}

bool DecodeUsbPcap(Bytes packet, UsbPacket& out) {
  if (packet.size() < kUsbPcapBaseHeader) return false;
  const std::size_t headerSize = Little16(packet, 0);
  if (headerSize < kUsbPcapBaseHeader || headerSize > packet.size()) return false;
  out.request = Little64(packet, 2);
  const std::uint32_t status = Little32(packet, 10);
  out.completion = (packet[16] & kUsbPcapInfoCompletion) != 0;
  out.bus = Little16(packet, 17);
  out.address = Little16(packet, 19);
  out.endpoint = packet[21];
  out.transfer = TransferOf(packet[22]);
  out.length = Little32(packet, 23);
  TakeData(packet, headerSize, out.length, out);
  // The setup packet leads the data of a control transfer's SETUP stage.
  if (out.transfer == Transfer::kControl && !out.completion && headerSize > kUsbPcapControlStage &&
      packet[kUsbPcapControlStage] == kUsbPcapStageSetup && out.data.size() >= kSetupSize) {
    std::array<std::uint8_t, kSetupSize> setup;
    std::copy_n(out.data.begin(), kSetupSize, setup.begin());
    out.setup = setup;
    out.data.erase(out.data.begin(), out.data.begin() + kSetupSize);
    out.length -= kSetupSize;
  }
  if (out.completion) {
    if (status == 0) {
      out.ending = Ending::kOk;
    } else if (status == kUsbdStatusCanceled) {
      out.ending = Ending::kCancelled;
    } else if (status == kUsbdStatusDeviceGone) {
      out.ending = Ending::kDeviceGone;
    } else {
      out.ending = Ending::kFailed;
      out.code = status;
    }
  }
  return true;
}

}  // namespace

void CaptureReader::Close::operator()(pcap* handle) const { pcap_close(handle); }

CaptureReader::CaptureReader() = default;
CaptureReader::~CaptureReader() = default;

std::string CaptureReader::Open(const std::string& path) {
  char error[PCAP_ERRBUF_SIZE] = {};
  m_pcap.reset(
      pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, error));
  if (!m_pcap) {
    std::string_view why = error;
    // libpcap names the file in some of its errors; the caller names it in all.
    if (why.starts_with(path + ": ")) why.remove_prefix(path.size() + 2);
    std::error_code ignored;
    if (why.starts_with("truncated") && std::filesystem::file_size(path, ignored) == 0) {
      return "the file is empty";
    }
    return std::string(why);
  }
  m_linkType = pcap_datalink(m_pcap.get());
  if (m_linkType == DLT_USB_LINUX || m_linkType == DLT_USB_LINUX_MMAPPED ||
      m_linkType == DLT_USBPCAP) {
    return {};
  }
  const char* name = pcap_datalink_val_to_name(m_linkType);
  return "link type " + std::to_string(m_linkType) + (name ? std::string(" (") + name + ")" : "") +
         " is not a USB capture of usbmon or USBPcap";
}

CaptureReader::Result CaptureReader::Read(UsbPacket& packet) {
  pcap_pkthdr* header = nullptr;
  const std::uint8_t* bytes = nullptr;
  const int result = pcap_next_ex(m_pcap.get(), &header, &bytes);
  if (result == PCAP_ERROR_BREAK) return Result::kEnd;
  if (result != 1) {
    m_error = pcap_geterr(m_pcap.get());
    return Result::kError;
  }
  packet = UsbPacket();
  packet.time = static_cast<std::uint64_t>(header->ts.tv_sec) * 1000000u +
                static_cast<std::uint64_t>(header->ts.tv_usec);
  const Bytes captured(bytes, header->caplen);
  bool decoded = false;
  switch (m_linkType) {
    case DLT_USB_LINUX:
      decoded = DecodeUsbmon(captured, sizeof(pcap_usb_header), packet);
      break;
    case DLT_USB_LINUX_MMAPPED:
      decoded = DecodeUsbmon(captured, sizeof(pcap_usb_header_mmapped), packet);
      break;
    default:
      decoded = DecodeUsbPcap(captured, packet);
      break;
  }
  return decoded ? Result::kPacket : Result::kUnreadable;
}

}  // namespace kestro::replay
