#include <algorithm>
#include <cstring>

#include "platform/Diagnostics.h"
#include "update/Updater.h"

namespace kestro {

std::atomic<std::uint32_t> stopFlag{0};
std::atomic<std::uint32_t> updateState{kUpdateStateUninitialised};
std::atomic<std::uint32_t> deviceVersion{0};
std::atomic<std::uint32_t> firmwareType{0};

namespace {

constexpr int kTextSuccess = 4;
constexpr int kTextTitle = 6;
constexpr int kTextFailure = 7;
constexpr int kTextNeedsBootMode = 11;
constexpr int kTextInstructions = 14;

// Incoming report: payload byte 0 is the device's count, the packet starts at byte 1.
constexpr std::size_t kReplyPacketStart = 1;
constexpr std::size_t kReplyType = 2;
constexpr std::size_t kReplyCommand = 5;
constexpr std::size_t kReplyVersion = 8;
constexpr std::size_t kReplyFirmwareType = 41;

constexpr std::uint32_t kFirmwareTypeNormal = 1;
constexpr std::uint32_t kFirmwareTypeAlternate = 200;

// The packet head: 0x00, type, body length (LE16).
std::size_t BuildCommandPacket(std::uint8_t command, const std::uint8_t* arguments, int p,
                               std::uint8_t* packet) {
  packet[0] = 0x00;
  packet[1] = FIRMWARE_PACKET;
  if (p <= 0) {
    WriteLe16(packet + 2, 1);
    packet[4] = command;
    return 5;
  }
  const auto count = static_cast<std::size_t>(p);
  WriteLe16(packet + 2, static_cast<std::uint16_t>(count + 3));
  packet[4] = command;
  WriteLe16(packet + 5, static_cast<std::uint16_t>(count));
  std::memcpy(packet + 7, arguments, count);
  return count + 7;
}

}  // namespace

bool Updater::SendShortPacket(std::uint8_t type, std::uint8_t value) {
  const std::uint8_t report[] = {5, 0x00, type, 0x01, 0x00, value};
  return m_hid.WriteReport(report, sizeof report) != 0;
}

bool Updater::SendFirmwarePacket(std::uint8_t command, const std::uint8_t* arguments,
                                 int argumentLength) {
  // Large enough for the biggest packet any caller builds; longer argument lists are refused.
  constexpr int kMaxArguments = 256;
  if (argumentLength > kMaxArguments) return false;
  std::uint8_t packet[kMaxArguments + 7];
  const std::size_t total = BuildCommandPacket(command, arguments, argumentLength, packet);

  std::uint8_t report[kPayloadSize];
  if (command != SET_FIRMWARE_DATA) {
    DebugLine(L"SendFirmwarePacket cmd %d", command);
    if (total > kPayloadSize - 1) return false;  // a command packet must fit one report
    report[0] = static_cast<std::uint8_t>(total);
    std::memcpy(report + 1, packet, total);
    return m_hid.WriteReport(report, static_cast<std::uint8_t>(total + 1)) != 0;
  }
  for (std::size_t sent = 0; sent < total;) {
    const std::size_t piece = std::min(kDataPieceSize, total - sent);
    report[0] = static_cast<std::uint8_t>(piece);
    std::memcpy(report + 1, packet + sent, piece);
    if (!m_hid.WriteReport(report, static_cast<std::uint8_t>(piece + 1))) {
      DebugLine(L"WriteHid error");
      return false;
    }
    DebugLine(L"WriteHid %d btye sucessful", static_cast<int>(piece));
    sent += piece;
  }
  return true;
}

void Updater::SendFirmwareInfo() {
  std::uint8_t arguments[kFirmwareInfoArgs] = {};  // bytes 12 to 27 carry zeros
  WriteLe32(arguments + 0, m_context.targetVersion);
  WriteLe32(arguments + 4, m_context.imageBaseAddress);
  WriteLe32(arguments + 8, m_context.imageLength);
  SendFirmwarePacket(SET_FIRMWARE_INFO, arguments, kFirmwareInfoArgs);
}

bool Updater::SendFirmwareData(const std::uint8_t* block, std::uint32_t length) {
  return SendFirmwarePacket(SET_FIRMWARE_DATA, block, static_cast<int>(length));
}

void Updater::QueryDeviceVersion() {
  deviceVersion = kVersionUnknown;
  if (!m_hid.OpenDevice()) return;
  if (DeviceKind.load() == kDeviceKindBoot) {
    QueryBootInfo();
    return;
  }
  SendFirmwarePacket(GET_DEVICE_VERSION, nullptr, 0);
  const std::uint64_t start = m_host.NowMs();
  // A controller pulled out during the query fails every read at once: without this count the
  // UI thread would spin through its whole bound, writing a RECV_FAILED each time.
  std::uint32_t readErrors = 0;
  while (deviceVersion.load() == kVersionUnknown && readErrors < kReadErrorBound &&
         m_host.NowMs() - start < kVersionQueryBoundMs) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    if (result == kWaitReceived) {
      readErrors = 0;
      DebugLine(L" %d Bytes received from sender", reply[0]);
      HandleFramedReply(reply);
    } else {
      DebugLine(L"recv() failed with error code 0x%x", result);
      SendShortPacket(RECV_FAILED, 0);
      readErrors = result == kWaitTimeout ? 0 : readErrors + 1;
    }
  }
}

void Updater::Usb_UpdateThread() {
  m_kind = kDeviceKindNormal;
  m_wholeImageSent = false;
  m_packageOpenFailures = 0;
  if (!SendShortPacket(UPDATE_REQUEST, 0)) {
    DebugLine(L"send() failed with error code %d", static_cast<int>(Port().LastError()));
    return;
  }
  DebugLine(L"send() is OK!");
  DebugLine(L"Bytes Sent: %d", 1);

  std::uint64_t lastProgress = m_host.NowMs();
  std::uint32_t readErrors = 0;
  do {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    if (result == kWaitReceived) {
      readErrors = 0;
      DebugLine(L" %d Bytes received from sender", reply[0]);
      // Taken after the handling: time in this worker's own dialogs does not count.
      if (HandleFramedReply(reply)) lastProgress = m_host.NowMs();
    } else {
      DebugLine(L"recv() failed with error code 0x%x", result);
      SendShortPacket(RECV_FAILED, 0);
      readErrors = result == kWaitTimeout ? 0 : readErrors + 1;
    }
    if (stopFlag.load() != 0) break;
    const std::uint32_t bound =
        updateState.load() == kUpdateStateWaiting ? kEraseBoundMs : kSilenceBoundMs;
    if (readErrors >= kReadErrorBound || m_host.NowMs() - lastProgress >= bound) {
      ReportUpdateFailure();  // the controller is gone, or has stopped moving the update on
    }
  } while (stopFlag.load() == 0);

  m_host.RefreshUpdateButton();
  DebugLine(L"Exit Usb_UpdateThread");
}

bool Updater::HandleFramedReply(const std::uint8_t* reply) {
  if (reply[kReplyPacketStart] != 0x00) return false;
  switch (reply[kReplyType]) {
    case FIRMWARE_PACKET:
      return HandleFirmwarePacket(reply);
    case UPDATE_INFO: {
      firmwareType = ReadLe32(reply + kReplyFirmwareType);
      DebugLine(L"firmware type %d", static_cast<int>(firmwareType.load()));
      if (firmwareType == kFirmwareTypeNormal || firmwareType == kFirmwareTypeAlternate) {
        if (!SelectPackageImage()) AbortUpdate();
        return true;
      }
      AbortUpdate();
      const std::wstring text = FormatText(L"%ls\n", m_host.Text(kTextNeedsBootMode).c_str());
      DebugLine(L"%ls", text.c_str());
      const std::wstring caption = m_host.Text(kTextTitle);
      m_host.ShowMessage(text, &caption, win::MB_OK);
      return true;
    }
    default:
      return false;
  }
}

bool Updater::HandleFirmwarePacket(const std::uint8_t* reply) {
  switch (reply[kReplyCommand]) {
    case GET_DEVICE_VERSION: {
      deviceVersion = ReadLe32(reply + kReplyVersion);
      const std::uint32_t version = deviceVersion.load();
      DebugLine(L"cur_devVersion 0x%x", version);
      const std::wstring title = m_host.Text(kTextTitle);
      if (version == kVersionNoFirmware) {
        const std::wstring text = FormatText(L"%ls", m_host.Text(kTextInstructions).c_str());
        m_host.ShowMessage(text, &title, win::MB_OK);
        return false;
      }
      const double shown = (version & 0xFFFF) / 100.0;
      const unsigned beta = version >> 16;
      m_host.SetTitle(beta != 0
                          ? FormatText(L"%ls(GamePad V%0.2f beta%d)", title.c_str(), shown, beta)
                          : FormatText(L"%ls(GamePad V%0.2f)", title.c_str(), shown));
      return false;  // the version says nothing about the transfer
    }
    case FIRMWARE_DATA_REQUEST:
      return HandleDataRequest();
    case FIRMWARE_FAILURE_A:
    case FIRMWARE_FAILURE_B:
      ReportUpdateFailure();
      return true;
    default:
      return false;
  }
}

bool Updater::ReadImageBlock(std::uint32_t blockSize, std::uint32_t& count) {
  // Never a byte behind the image: the next record's header or image stays in the package.
  const std::uint32_t remaining = m_context.imageLength - m_context.bytesSent;
  const std::uint32_t wanted = std::min(blockSize, remaining);
  std::size_t got = 0;
  if (!m_context.packageFile.Read(m_context.blockBuffer, wanted, got) || got != wanted) {
    return false;
  }
  count = wanted;
  return true;
}

bool Updater::HandleDataRequest() {
  switch (updateState.load()) {
    case kUpdateStateWaiting: {
      if (!m_context.packageFile.Open(m_context.packagePath)) {
        if (++m_packageOpenFailures >= kPackageOpenTries) ReportUpdateFailure();
        return true;
      }
      updateState = kUpdateStateTransferring;
      std::uint32_t count = 0;
      if (!m_context.packageFile.Seek(m_context.imageDataOffset) ||
          !ReadImageBlock(kFramedBlockSize, count) ||
          !SendFirmwareData(m_context.blockBuffer, count)) {
        ReportUpdateFailure();
        return true;
      }
      DebugLine(L"update file is 0x%x", m_context.imageLength);
      m_context.bytesSent += count;
      return true;
    }
    case kUpdateStateTransferring: {
      std::uint32_t count = 0;
      if (!ReadImageBlock(kFramedBlockSize, count) ||
          !SendFirmwareData(m_context.blockBuffer, count)) {
        ReportUpdateFailure();
        return true;
      }
      m_context.bytesSent += count;
      DebugLine(L"\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n", static_cast<int>(count),
                m_context.bytesSent);
      if (m_context.imageLength != 0) {
        m_host.SetProgress(static_cast<std::uint32_t>(m_context.bytesSent * 100u /
                                                      m_context.imageLength));
      }
      if (m_context.bytesSent < m_context.imageLength) return true;
      m_context.packageFile.Close();
      DebugLine(L"update successful");
      updateState = kUpdateStateIdle;
      m_wholeImageSent = true;
      m_host.EnableUpdateButton(true);
      return true;
    }
    case kUpdateStateIdle: {
      // The controller applies the image only once it has the end command: a write that fails
      // (the controller is gone) leaves it without, and that is no success.
      const bool endSent = SendFirmwarePacket(SET_FIRMWARE_END, nullptr, 0);
      stopFlag = 1;
      // Only a transfer of the whole image by this worker is a success.
      const bool wholeImageSent = m_wholeImageSent.exchange(false);
      if (wholeImageSent && endSent) {
        ShowSuccess();
      } else if (wholeImageSent) {
        ReportUpdateFailure();
      } else {
        ShowFailure();
      }
      return true;
    }
    default:
      return false;  // the dialog is not initialised yet
  }
}

void Updater::AbortUpdate() {
  m_context.packageFile.Close();
  stopFlag = 1;
}

void Updater::ShowFailure() {
  const std::wstring text = FormatText(L"%ls\n", m_host.Text(kTextFailure).c_str());
  const std::wstring caption = m_host.Text(kTextTitle);
  m_host.ShowMessage(text, &caption, win::MB_OK);
}

void Updater::ShowSuccess() {
  const std::wstring text = FormatText(L"\n %ls \n", m_host.Text(kTextSuccess).c_str());
  const std::wstring caption = m_host.Text(kTextTitle);
  m_host.ShowMessage(text, &caption, win::MB_OK);
  m_host.ShowSuccessLabel();
  m_host.SetProgress(0);
}

void Updater::ReportUpdateFailure() {
  AbortUpdate();
  ShowFailure();
  if (m_hid.DevicePresent()) m_host.EnableUpdateButton(true);
}

}  // namespace kestro
