#include "update/FramedUpdate.h"

#include <algorithm>
#include <cstring>

#include "platform/Diagnostics.h"
#include "update/UpdateState.h"

namespace kestro {

using namespace framed;

bool FramedUpdate::SendShortPacket(std::uint8_t type, std::uint8_t value) {
  const ShortPacketReport report = BuildShortPacket(type, value);
  return m_session.hid.WriteReport(report.bytes, sizeof report.bytes) != 0;
}

bool FramedUpdate::SendFirmwarePacket(std::uint8_t command, const std::uint8_t* arguments,
                                      int argumentLength) {
  // Large enough for the biggest packet any caller builds; longer argument lists are refused.
  constexpr int kMaxArguments = 256;
  if (argumentLength > kMaxArguments) return false;
  std::uint8_t packet[kPacketArguments + kMaxArguments];
  const std::size_t total = BuildCommandPacket(command, arguments, argumentLength, packet);

  std::uint8_t report[kPayloadSize];
  if (command != SET_FIRMWARE_DATA) {
    DebugLine(L"SendFirmwarePacket cmd %d", command);
    if (total > kMaxCommandPacket) return false;
    report[kReportCount] = static_cast<std::uint8_t>(total);
    std::memcpy(report + kReportPacket, packet, total);
    return m_session.hid.WriteReport(report, static_cast<std::uint8_t>(kReportPacket + total)) != 0;
  }
  // Data goes out in pieces of at most a full data packet, each behind its own count.
  for (std::size_t sent = 0; sent < total;) {
    const std::size_t piece = std::min(kDataPieceSize, total - sent);
    report[kReportCount] = static_cast<std::uint8_t>(piece);
    std::memcpy(report + kReportPacket, packet + sent, piece);
    if (!m_session.hid.WriteReport(report, static_cast<std::uint8_t>(kReportPacket + piece))) {
      DebugLine(L"WriteHid error");
      return false;
    }
    DebugLine(L"WriteHid %d btye sucessful", static_cast<int>(piece));
    sent += piece;
  }
  return true;
}

void FramedUpdate::SendFirmwareInfo() {
  const UpdateContext& context = m_session.context;
  std::uint8_t arguments[kFirmwareInfoArgs] = {};
  WriteLe32(arguments + kInfoVersion, context.targetVersion);
  WriteLe32(arguments + kInfoBaseAddress, context.imageBaseAddress);
  WriteLe32(arguments + kInfoLength, context.imageLength);
  SendFirmwarePacket(SET_FIRMWARE_INFO, arguments, kFirmwareInfoArgs);
}

bool FramedUpdate::SendFirmwareData(const std::uint8_t* block, std::uint32_t length) {
  return SendFirmwarePacket(SET_FIRMWARE_DATA, block, static_cast<int>(length));
}

void FramedUpdate::QueryVersion() {
  SendFirmwarePacket(GET_DEVICE_VERSION, nullptr, 0);
  const std::uint64_t start = m_session.host.NowMs();
  // A controller pulled out during the query fails every read at once: without this count the
  // UI thread would spin through its whole bound, writing a RECV_FAILED each time.
  std::uint32_t readErrors = 0;
  while (deviceVersion.load() == kVersionUnknown && readErrors < kReadErrorBound &&
         m_session.host.NowMs() - start < kVersionQueryBoundMs) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    if (result == kWaitReceived) {
      readErrors = 0;
      DebugLine(L" %d Bytes received from sender", reply[kReplyCount]);
      HandleFramedReply(reply);
    } else {
      DebugLine(L"recv() failed with error code 0x%x", result);
      SendShortPacket(RECV_FAILED, 0);
      readErrors = result == kWaitTimeout ? 0 : readErrors + 1;
    }
  }
}

void FramedUpdate::Usb_UpdateThread() {
  m_wholeImageSent = false;
  m_packageOpenFailures = 0;
  if (!SendShortPacket(UPDATE_REQUEST, 0)) {
    DebugLine(L"send() failed with error code %d", static_cast<int>(m_session.hid.LastPortError()));
    // Nothing was sent: no verdict, and the button stays as the press left it.
    m_session.host.Finish(UpdateHost::Outcome::kNotMade, L"");
    return;
  }
  DebugLine(L"send() is OK!");
  DebugLine(L"Bytes Sent: %d", 1);

  UpdateHost& host = m_session.host;
  std::uint64_t lastProgress = host.NowMs();
  std::uint32_t readErrors = 0;
  do {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    if (result == kWaitReceived) {
      readErrors = 0;
      DebugLine(L" %d Bytes received from sender", reply[kReplyCount]);
      // Taken after the handling: time in this worker's own dialogs does not count.
      if (HandleFramedReply(reply)) lastProgress = host.NowMs();
    } else {
      DebugLine(L"recv() failed with error code 0x%x", result);
      // A controller that takes no report within the write bound is gone or hung (or the update
      // was stopped): it will not move the update on.
      const bool taken = SendShortPacket(RECV_FAILED, 0);
      readErrors = !taken ? kReadErrorBound : result == kWaitTimeout ? 0 : readErrors + 1;
    }
    if (stopFlag.load() != 0) break;
    const std::uint32_t bound =
        updateState.load() == kUpdateStateWaiting ? kEraseBoundMs : kSilenceBoundMs;
    if (readErrors >= kReadErrorBound) {
      FailTransfer(L"the controller is gone");
    } else if (host.NowMs() - lastProgress >= bound) {
      FailTransfer(L"the controller stopped moving the update on");
    }
  } while (stopFlag.load() == 0);

  host.AllowUpdateIfControllerFound();
  DebugLine(L"Exit Usb_UpdateThread");
}

bool FramedUpdate::HandleFramedReply(const std::uint8_t* reply) {
  if (reply[kReplyMarker] != 0x00) return false;
  switch (reply[kReplyType]) {
    case FIRMWARE_PACKET:
      return HandleFirmwarePacket(reply);
    case UPDATE_INFO:
      return HandleUpdateInfo(reply);
    default:
      return false;
  }
}

bool FramedUpdate::HandleUpdateInfo(const std::uint8_t* reply) {
  UpdateHost& host = m_session.host;
  m_firmwareType = ReadLe32(reply + kReplyFirmwareType);
  DebugLine(L"firmware type %d", static_cast<int>(m_firmwareType));
  if (m_firmwareType != kFirmwareTypeNormal && m_firmwareType != kFirmwareTypeAlternate) {
    AbortUpdate();
    const std::wstring text = FormatText(L"%ls\n", host.Text(kTextNeedsBootMode).c_str());
    DebugLine(L"%ls", text.c_str());
    host.Finish(UpdateHost::Outcome::kNotMade, text);
    return true;
  }
  if (!m_selection.SelectPackageImage()) {
    AbortUpdate();
    host.Finish(UpdateHost::Outcome::kNotMade, L"");
    return true;
  }
  // Waiting before the announcement leaves, so that the first data request finds it so.
  updateState = kUpdateStateWaiting;
  SendFirmwareInfo();
  DebugLine(L"desVersion is %d", static_cast<int>(m_session.context.targetVersion));
  return true;
}

bool FramedUpdate::HandleFirmwarePacket(const std::uint8_t* reply) {
  switch (reply[kReplyCommand]) {
    case GET_DEVICE_VERSION:
      HandleVersionReply(reply);
      return false;  // the version says nothing about the transfer
    case FIRMWARE_DATA_REQUEST:
      return HandleDataRequest();
    case FIRMWARE_FAILURE_A:
    case FIRMWARE_FAILURE_B:
      FailTransfer(L"the controller reported a failure");
      return true;
    default:
      return false;
  }
}

void FramedUpdate::HandleVersionReply(const std::uint8_t* reply) {
  deviceVersion = ReadLe32(reply + kReplyVersion);
  const std::uint32_t version = deviceVersion.load();
  DebugLine(L"cur_devVersion 0x%x", version);
  UpdateHost& host = m_session.host;
  if (version == kVersionNoFirmware) {
    host.Tell(FormatText(L"%ls", host.Text(kTextInstructions).c_str()));
    return;
  }
  const std::wstring title = host.Text(kTextTitle);
  const double shown = (version & 0xFFFF) / 100.0;
  const unsigned beta = version >> 16;
  host.ShowVersion(beta != 0 ? FormatText(L"%ls(GamePad V%0.2f beta%d)", title.c_str(), shown, beta)
                             : FormatText(L"%ls(GamePad V%0.2f)", title.c_str(), shown),
                   false);
}

bool FramedUpdate::HandleDataRequest() {
  UpdateContext& context = m_session.context;
  switch (updateState.load()) {
    case kUpdateStateWaiting: {
      if (!context.packageFile.Open(context.packagePath)) {
        if (++m_packageOpenFailures >= kPackageOpenTries) {
          FailTransfer(L"the package could not be opened");
        }
        return true;
      }
      updateState = kUpdateStateTransferring;
      std::uint32_t count = 0;
      if (!context.packageFile.Seek(context.imageDataOffset) ||
          !ReadImageBlock(context, kBlockSize, count)) {
        FailTransfer(L"the package gave out");
        return true;
      }
      if (!SendFirmwareData(context.blockBuffer, count)) {
        FailTransfer(L"the controller did not take the block");
        return true;
      }
      DebugLine(L"update file is 0x%x", context.imageLength);
      context.bytesSent += count;
      return true;
    }
    case kUpdateStateTransferring: {
      std::uint32_t count = 0;
      if (!ReadImageBlock(context, kBlockSize, count)) {
        FailTransfer(L"the package gave out");
        return true;
      }
      if (!SendFirmwareData(context.blockBuffer, count)) {
        FailTransfer(L"the controller did not take the block");
        return true;
      }
      context.bytesSent += count;
      DebugLine(L"\nSET_FIRMWARE_DATA read_pos %d offset 0x%x\n", static_cast<int>(count),
                context.bytesSent);
      ShowProgress(m_session);
      if (context.bytesSent < context.imageLength) return true;
      context.packageFile.Close();
      DebugLine(L"update successful");
      updateState = kUpdateStateIdle;
      m_wholeImageSent = true;
      m_session.host.AllowUpdate(true);
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
        ReportSuccess(m_session);
      } else if (wholeImageSent) {
        FailTransfer(L"the controller did not take the end command");
      } else {
        DebugLine(L"framed: a request for more after the image, but no image was sent");
        ReportFailure(m_session);
      }
      return true;
    }
    default:
      return false;  // the dialog is not initialised yet
  }
}

void FramedUpdate::AbortUpdate() {
  m_session.context.packageFile.Close();
  stopFlag = 1;
}

void FramedUpdate::ReportUpdateFailure() {
  AbortUpdate();
  ReportFailure(m_session);
  if (m_session.hid.DevicePresent()) m_session.host.AllowUpdate(true);
}

void FramedUpdate::FailTransfer(const wchar_t* why) {
  DebugLine(L"framed: %ls, %ls of 0x%x bytes", why,
            TransferPlace(m_session.context, kBlockSize).c_str(), m_session.context.imageLength);
  ReportUpdateFailure();
}

}  // namespace kestro
