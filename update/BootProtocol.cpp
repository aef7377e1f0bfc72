#include <algorithm>
#include <cstring>

#include "platform/Diagnostics.h"
#include "update/Updater.h"

namespace kestro {
namespace {

constexpr int kTextTitle = 6;
constexpr int kTextInstructions = 14;

// Command frame: payload offsets.
constexpr std::size_t kFrameMarker = 0;
constexpr std::size_t kFrameCommand = 1;
constexpr std::size_t kFrameLength = 5;
constexpr std::size_t kFrameTotal = 9;
constexpr std::size_t kFrameAddress = 13;
constexpr std::size_t kFrameData = 17;
constexpr std::uint8_t kBootMarker = 5;

// Reply: payload offsets.
constexpr std::size_t kReplyStatus = 2;
constexpr std::size_t kReplyCommand = 4;
constexpr std::size_t kReplyBootInfo = 18;

// The pauses and read counts the boot loader expects.
constexpr std::uint32_t kStartSettleMs = 1000;  // before the first answer to BOOT_START
constexpr std::uint32_t kStartRetryMs = 500;
constexpr std::uint32_t kStartReads = 20;
constexpr std::uint32_t kBlockReads = 20;
constexpr std::uint32_t kInfoReads = 5;
constexpr std::uint32_t kInfoRetryMs = 100;

}  // namespace

int Updater::SendBootCommand(const std::uint8_t* data, std::uint32_t length,
                             std::uint32_t address, std::uint32_t total, std::uint16_t command) {
  std::uint8_t frame[kPayloadSize] = {};
  frame[kFrameMarker] = kBootMarker;
  WriteLe16(frame + kFrameCommand, command);
  length = std::min(length, kBootBlockSize);
  WriteLe32(frame + kFrameLength, length);
  WriteLe32(frame + kFrameTotal, total);
  WriteLe32(frame + kFrameAddress, address);
  std::uint32_t attached = 0;
  if (data) {
    std::memcpy(frame + kFrameData, data, length);
    attached = length;
  }
  return m_hid.WriteReport(frame, static_cast<std::uint8_t>(kFrameData + attached));
}

Updater::BootReply Updater::CheckBootReply(std::uint32_t readResult, const std::uint8_t* reply,
                                           std::uint16_t command) const {
  if (readResult != kWaitReceived || reply[0] != 0 || reply[1] != kBootMarker ||
      ReadLe16(reply + kReplyCommand) != command) {
    return BootReply::None;
  }
  const std::uint16_t status = ReadLe16(reply + kReplyStatus);
  if (status == 0) return BootReply::Acknowledged;
  if (status == BOOT_BUSY) return BootReply::Busy;
  return BootReply::None;
}

bool Updater::StartBootTransfer(std::uint16_t command, std::uint32_t address,
                                std::uint32_t total) {
  SendBootCommand(nullptr, 0, address, total, command);
  const std::uint64_t start = m_host.NowMs();
  m_host.Sleep(kStartSettleMs);
  std::uint32_t tries = 0;
  for (;;) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    const BootReply answer = CheckBootReply(result, reply, command);
    if (answer == BootReply::Acknowledged) return true;
    if (answer == BootReply::Busy) tries = 0;
    // A controller that stays busy for ever would keep this going without end.
    if (m_host.NowMs() - start >= kBootStartBoundMs) return false;
    SendBootCommand(nullptr, 0, address, total, command);
    m_host.Sleep(kStartRetryMs);
    if (++tries >= kStartReads) return false;
  }
}

bool Updater::WriteBootBlock(const std::uint8_t* data, std::uint32_t address,
                             std::uint32_t length, std::uint32_t total, bool image) {
  const std::uint16_t command = image ? BOOT_WRITE_IMAGE : BOOT_WRITE_PARAM;
  SendBootCommand(data, length, address, total, command);
  for (std::uint32_t i = 0; i < kBlockReads; ++i) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    if (CheckBootReply(result, reply, command) == BootReply::Acknowledged) return true;
  }
  return false;
}

bool Updater::GetBootInfo(std::uint8_t* destination, std::uint32_t length) {
  SendBootCommand(nullptr, kBootInfoSize, 0, kBootInfoSize, BOOT_GET_INFO);
  for (std::uint32_t i = 0; i < kInfoReads; ++i) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    if (result != kWaitReceived) {
      m_host.Sleep(kInfoRetryMs);
      SendBootCommand(nullptr, 0, 0, 0, BOOT_GET_INFO);
      continue;
    }
    if (CheckBootReply(result, reply, BOOT_GET_INFO) == BootReply::Acknowledged) {
      std::memcpy(destination, reply + kReplyBootInfo, std::min(length, kBootInfoSize));
      return true;
    }
  }
  return false;
}

bool Updater::FinishBootTransfer() {
  SendBootCommand(nullptr, 0, 0, 0, BOOT_FINISH);
  std::uint8_t reply[kPayloadSize] = {};
  const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
  return CheckBootReply(result, reply, BOOT_FINISH) == BootReply::Acknowledged;
}

bool Updater::WriteTargetVersion() {
  std::uint8_t word[4];
  WriteLe32(word, m_context.targetVersion);
  return WriteBootBlock(word, kVersionParamAddress, sizeof word, sizeof word, false);
}

void Updater::QueryBootInfo() {
  std::uint8_t info[kBootInfoSize] = {};
  if (!GetBootInfo(info, kBootInfoSize)) {
    m_host.EnableUpdateButton(false);
    m_host.ShowMessage(L"Get gamepad info error", nullptr, win::MB_OK);
    return;
  }
  m_context.deviceModelId = ReadLe16(info + 0);
  m_context.deviceVariant = info[2];
  deviceVersion = ReadLe32(info + 4);
  const std::uint32_t version = deviceVersion.load();
  const std::wstring title = m_host.Text(kTextTitle);
  if (version == kVersionNoFirmware) {
    m_host.ShowMessage(m_host.Text(kTextInstructions), &title, win::MB_OK);
    return;
  }
  const unsigned beta = version >> 16;
  const std::wstring text =
      beta != 0 ? FormatText(L"%ls(Fw v%0.1f beta%d)", title.c_str(), (version & 0xFFFF) / 100.0,
                             beta)
                : FormatText(L"%ls(Fw v%0.1f)", title.c_str(), version / 100.0);
  m_host.SetTitleShowsVersion();
  m_host.SetTitle(text);
}

bool Updater::WriteImageBlock(std::uint32_t offset, std::uint32_t count) {
  for (std::uint32_t frames = 1;; ++frames) {
    if (WriteBootBlock(m_context.blockBuffer, m_context.imageBaseAddress + offset, count,
                       m_context.imageLength, true)) {
      ReadOffLateAcks(BOOT_WRITE_IMAGE, frames - 1);
      return true;
    }
    // The same block again, same address and bytes.
    if (frames > kBootBlockResends) return false;
  }
}

void Updater::ReadOffLateAcks(std::uint16_t command, std::uint32_t owed) {
  // Acknowledgements carry no block number: one owed by an earlier frame of this block, taken
  // for the next block, would cover that block even if the controller never got it.
  std::uint64_t quietSince = m_host.NowMs();
  while (owed > 0 && m_host.NowMs() - quietSince < kLateAckWindowMs) {
    std::uint8_t reply[kPayloadSize] = {};
    const std::uint32_t result = m_hid.ReadReport(reply, kPayloadSize);
    if (CheckBootReply(result, reply, command) == BootReply::Acknowledged) {
      --owed;
      quietSince = m_host.NowMs();
    } else if (result != kWaitReceived && result != kWaitTimeout) {
      return;  // the controller is gone; the next block finds that out for itself
    }
  }
}

void Updater::RunBootUpdate() {
  m_kind = kDeviceKindBoot;
  if (!SelectPackageImage()) {
    m_host.RefreshUpdateButton();
    return;
  }
  // The selection refuses empty images, so this is only a guard for the progress division.
  if (m_context.imageLength == 0) {
    m_host.RefreshUpdateButton();
    return;
  }

  bool written = false;
  if (StartBootTransfer(BOOT_START, m_context.imageBaseAddress, m_context.imageLength) &&
      m_context.packageFile.Open(m_context.packagePath) &&
      m_context.packageFile.Seek(m_context.imageDataOffset)) {
    m_host.SetProgress(0);
    std::uint32_t offset = 0;
    std::uint32_t count = 0;
    bool ok = ReadImageBlock(kBootBlockSize, count);
    while (ok && offset < m_context.imageLength) {
      // A package that gives no more bytes can never finish the image.
      if (count == 0 || !WriteImageBlock(offset, count)) {
        ok = false;
        break;
      }
      offset += count;
      m_context.bytesSent = offset;
      m_host.SetProgress(static_cast<std::uint32_t>(
          static_cast<std::uint64_t>(m_context.bytesSent) * 100u / m_context.imageLength));
      if (offset < m_context.imageLength) ok = ReadImageBlock(kBootBlockSize, count);
    }
    m_context.packageFile.Close();
    written = ok && WriteTargetVersion();
  }
  m_context.packageFile.Close();

  if (!written) {
    // The controller may sit half written: the user must know.
    ShowFailure();
    m_host.RefreshUpdateButton();
    return;
  }
  // The controller may restart at once after BOOT_FINISH, so its answer is not waited for.
  FinishBootTransfer();
  stopFlag = 1;
  ShowSuccess();
  m_host.RefreshUpdateButton();
}

}  // namespace kestro
