// What every part of an update works with: the controller, the record of the update and the
// front; and what both protocols tell the front the same way.
#pragma once

#include <cstdint>

#include "hid/Hid.h"
#include "update/UpdateContext.h"
#include "update/UpdateHost.h"

namespace kestro {

// LocalizedString indices the update uses.
inline constexpr int kTextFileType = 3;
inline constexpr int kTextSuccess = 4;
inline constexpr int kTextNewFirmware = 5;
inline constexpr int kTextTitle = 6;
inline constexpr int kTextFailure = 7;
inline constexpr int kTextNeedsBootMode = 11;
inline constexpr int kTextInstructions = 14;

struct UpdateSession {
  CHid& hid;
  UpdateContext& context;
  UpdateHost& host;
};

// The progress bar's position for bytesSent of imageLength: 0 to 100 (more when bytes from
// behind the image were counted), 0 for an empty image.
std::uint32_t ProgressPercent(std::uint32_t bytesSent, std::uint32_t imageLength);
// bytesSent of the session as the progress bar's position.
void ShowProgress(UpdateSession& session);

// The image's next block, up to blockSize bytes from bytesSent, into blockBuffer; count is how
// many. False when the package gives fewer bytes than the image still owes.
bool ReadImageBlock(UpdateContext& context, std::uint32_t blockSize, std::uint32_t& count);

// The update failed: "Firmware update failure".
void ReportFailure(UpdateSession& session);
// The update succeeded: "Firmware upgraded!".
void ReportSuccess(UpdateSession& session);
// Where the transfer stands, for a diagnostic line that says where it failed: "block N at 0x...".
std::wstring TransferPlace(const UpdateContext& context, std::uint32_t blockSize);

}  // namespace kestro
