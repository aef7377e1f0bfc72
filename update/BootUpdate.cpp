#include "update/BootUpdate.h"

#include <algorithm>
#include <cstring>

#include "platform/Diagnostics.h"
#include "update/UpdateState.h"

namespace kestro {

using namespace boot;

namespace {

// The pauses and read counts the boot loader expects.
constexpr std::uint32_t kStartSettleMs = 1000;  // before the first answer to BOOT_START
constexpr std::uint32_t kStartRetryMs = 500;
constexpr std::uint32_t kStartReads = 20;
constexpr std::uint32_t kInfoReads = 5;
constexpr std::uint32_t kInfoRetryMs = 100;
// A boot loader that does not tell its model: the same in both languages, with no caption.
constexpr wchar_t kInfoError[] = L"Get gamepad info error";

}  // namespace

int BootUpdate::SendBootCommand(const std::uint8_t* data, std::uint32_t length,
                                std::uint32_t address, std::uint32_t total, std::uint16_t command) {
  std::uint8_t frame[kPayloadSize];
  const std::size_t bytes = BuildFrame(data, length, address, total, command, frame);
  return m_session.hid.WriteReport(frame, static_cast<std::uint8_t>(bytes));
}

bool BootUpdate::StartBootTransfer(std::uint16_t command, std::uint32_t address,
                                   std::uint32_t total) {
  UpdateHost& host = m_session.host;
  // A frame the controller does not take cannot be answered: it is gone, or the update was
  // stopped, and waiting out the pauses would only delay the end.
  if (!SendBootCommand(nullptr, 0, address, total, command)) return false;
  const std::uint64_t start = host.NowMs();
  host.Wait(kStartSettleMs);
  std::uint32_t tries = 0;
  for (;;) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    const Reply answer = CheckReply(result, reply, command);
    if (answer == Reply::kAcknowledged) return true;
    if (answer == Reply::kBusy) tries = 0;
    // A controller that stays busy for ever would keep this going without end.
    if (host.NowMs() - start >= kBootStartBoundMs) return false;
    if (!SendBootCommand(nullptr, 0, address, total, command)) return false;
    host.Wait(kStartRetryMs);
    if (++tries >= kStartReads) return false;
  }
}

bool BootUpdate::WriteBootBlock(const std::uint8_t* data, std::uint32_t address,
                                std::uint32_t length, std::uint32_t total, bool image) {
  return ExchangeBlockFrame(data, address, length, total, image) == Exchange::kAcknowledged;
}

BootUpdate::Exchange BootUpdate::ExchangeBlockFrame(const std::uint8_t* data, std::uint32_t address,
                                                    std::uint32_t length, std::uint32_t total,
                                                    bool image) {
  const std::uint16_t command = image ? BOOT_WRITE_IMAGE : BOOT_WRITE_PARAM;
  if (!SendBootCommand(data, length, address, total, command)) {
    DebugLine(L"boot: %ls frame to 0x%08x not taken", image ? L"image" : L"version", address);
    return Exchange::kNotSent;
  }
  for (std::uint32_t i = 0; i < kBootBlockReads; ++i) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    if (CheckReply(result, reply, command) == Reply::kAcknowledged) return Exchange::kAcknowledged;
  }
  return Exchange::kUnanswered;
}

bool BootUpdate::GetBootInfo(std::uint8_t* destination, std::uint32_t length) {
  SendBootCommand(nullptr, kBootInfoSize, 0, kBootInfoSize, BOOT_GET_INFO);
  for (std::uint32_t i = 0; i < kInfoReads; ++i) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    if (result != kWaitReceived) {
      m_session.host.Wait(kInfoRetryMs);
      SendBootCommand(nullptr, 0, 0, 0, BOOT_GET_INFO);
      continue;
    }
    if (CheckReply(result, reply, BOOT_GET_INFO) == Reply::kAcknowledged) {
      std::memcpy(destination, reply + kReplyBootInfo, std::min(length, kBootInfoSize));
      return true;
    }
  }
  return false;
}

bool BootUpdate::FinishBootTransfer() {
  SendBootCommand(nullptr, 0, 0, 0, BOOT_FINISH);
  std::uint8_t reply[kPayloadSize] = {};
  const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
  return CheckReply(result, reply, BOOT_FINISH) == Reply::kAcknowledged;
}

bool BootUpdate::WriteTargetVersion() {
  std::uint8_t word[4];
  WriteLe32(word, m_session.context.targetVersion);
  return WriteBootBlock(word, kVersionParamAddress, sizeof word, sizeof word, false);
}

bool BootUpdate::ReadBootInfo(std::uint8_t (&info)[kBootInfoSize]) {
  UpdateContext& context = m_session.context;
  // Whatever an earlier exchange learnt is not this controller's until it answers.
  context.modelConnection = 0;
  if (!GetBootInfo(info, kBootInfoSize)) return false;
  context.deviceModelId = ReadLe16(info + kInfoModelId);
  context.deviceVariant = info[kInfoVariant];
  context.modelConnection = m_session.hid.Connection();
  return true;
}

void BootUpdate::QueryBootInfo() {
  UpdateHost& host = m_session.host;
  std::uint8_t info[kBootInfoSize] = {};
  if (!ReadBootInfo(info)) {
    host.AllowUpdate(false);
    host.Tell(kInfoError, UpdateHost::From::kProgram);
    return;
  }
  deviceVersion = ReadLe32(info + kInfoVersion);
  const std::uint32_t version = deviceVersion.load();
  if (version == kVersionNoFirmware) {
    host.Tell(host.Text(kTextInstructions));
    return;
  }
  const std::wstring title = host.Text(kTextTitle);
  const unsigned beta = version >> 16;
  const std::wstring text =
      beta != 0
          ? FormatText(L"%ls(Fw v%0.1f beta%d)", title.c_str(), (version & 0xFFFF) / 100.0, beta)
          : FormatText(L"%ls(Fw v%0.1f)", title.c_str(), version / 100.0);
  host.ShowVersion(text, true);
}

bool BootUpdate::WriteImageBlock(std::uint32_t offset, std::uint32_t count) {
  const UpdateContext& context = m_session.context;
  for (std::uint32_t frames = 1;; ++frames) {
    switch (ExchangeBlockFrame(context.blockBuffer, context.imageBaseAddress + offset, count,
                               context.imageLength, true)) {
      case Exchange::kAcknowledged:
        ReadOffLateAcks(BOOT_WRITE_IMAGE, frames - 1);
        return true;
      case Exchange::kNotSent:
        return false;  // a controller that takes no report takes no resend either
      case Exchange::kUnanswered:
        break;  // the same block again, same address and bytes
    }
    if (frames > kBootBlockResends) return false;
  }
}

void BootUpdate::ReadOffLateAcks(std::uint16_t command, std::uint32_t owed) {
  // Acknowledgements carry no block number: one owed by an earlier frame of this block, taken
  // for the next block, would cover that block even if the controller never got it.
  UpdateHost& host = m_session.host;
  std::uint64_t quietSince = host.NowMs();
  while (owed > 0 && host.NowMs() - quietSince < kLateAckWindowMs) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_session.hid.ReadReport(reply, kPayloadSize);
    if (CheckReply(result, reply, command) == Reply::kAcknowledged) {
      --owed;
      quietSince = host.NowMs();
    } else if (result != kWaitReceived && result != kWaitTimeout) {
      return;  // the controller is gone; the next block finds that out for itself
    }
  }
}

bool BootUpdate::WriteImage() {
  UpdateContext& context = m_session.context;
  // bytesSent is where the next block starts.
  while (context.bytesSent < context.imageLength) {
    std::uint32_t count = 0;
    if (!ReadImageBlock(context, kBootBlockSize, count)) {
      DebugLine(L"boot: the package gave out, %ls", TransferPlace(context, kBootBlockSize).c_str());
      return false;
    }
    if (!WriteImageBlock(context.bytesSent, count)) {
      DebugLine(L"boot: %ls was never acknowledged",
                TransferPlace(context, kBootBlockSize).c_str());
      return false;
    }
    context.bytesSent += count;
    ShowProgress(m_session);
  }
  return true;
}

void BootUpdate::RunBootUpdate() {
  UpdateContext& context = m_session.context;
  UpdateHost& host = m_session.host;
  // The image is chosen by the model and variant of the controller connected now: never by those
  // of an earlier one, nor by none at all (the first record, often the normal firmware's, which
  // may start at the boot loader's own address).
  if (context.modelConnection != m_session.hid.Connection()) {
    std::uint8_t info[kBootInfoSize] = {};
    if (!ReadBootInfo(info)) {
      m_session.host.AllowUpdate(false);
      host.Finish(UpdateHost::Outcome::kNotMade, kInfoError, UpdateHost::From::kProgram);
      return;
    }
  }
  if (!m_selection.SelectPackageImage()) {
    host.Finish(UpdateHost::Outcome::kNotMade, L"");
    host.AllowUpdateIfControllerFound();
    return;
  }

  if (!WriteWholeImage()) {
    // The controller may sit half written: the user must know.
    ReportFailure(m_session);
    host.AllowUpdateIfControllerFound();
    return;
  }
  // The controller may restart at once after BOOT_FINISH, so its answer is not waited for.
  FinishBootTransfer();
  stopFlag = 1;
  ReportSuccess(m_session);
  host.AllowUpdateIfControllerFound();
}

bool BootUpdate::WriteWholeImage() {
  UpdateContext& context = m_session.context;
  if (!StartBootTransfer(BOOT_START, context.imageBaseAddress, context.imageLength)) {
    DebugLine(L"boot: BOOT_START for 0x%x bytes at 0x%08x was never acknowledged",
              context.imageLength, context.imageBaseAddress);
    return false;
  }
  if (!context.packageFile.Open(context.packagePath) ||
      !context.packageFile.Seek(context.imageDataOffset)) {
    context.packageFile.Close();
    DebugLine(L"boot: the package could not be opened for the transfer");
    return false;
  }
  ShowProgress(m_session);  // bytesSent is 0: the bar at 0
  const bool imageWritten = WriteImage();
  // Closed before the version word, on every path that got this far.
  context.packageFile.Close();
  if (!imageWritten) return false;
  if (!WriteTargetVersion()) {
    DebugLine(L"boot: the version word at 0x%08x was never acknowledged", kVersionParamAddress);
    return false;
  }
  return true;
}

}  // namespace kestro
