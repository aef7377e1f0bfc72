#include "update/PackageSelection.h"

#include <optional>

#include "platform/Diagnostics.h"
#include "update/PackageFile.h"

namespace kestro {

bool PackageSelection::SelectPackageImage() {
  UpdateContext& context = m_session.context;
  UpdateHost& host = m_session.host;
  context.selectedHeader = ImageHeader{};
  const std::optional<std::wstring> path = host.ChoosePackage();
  if (!path) return false;
  context.packagePath = *path;

  std::optional<PackageImage> image;
  {
    PackageFile file;
    if (!file.Open(*path)) return false;
    image = FindPackageImage(file, context.deviceModelId, context.deviceVariant);
  }
  if (!image) return false;

  const ImageHeader& header = image->header;
  context.selectedHeader = header;
  context.imageDataOffset = image->dataOffset;
  context.targetVersion = header.version;
  context.imageBaseAddress = header.baseAddress;
  context.imageLength = header.length;
  context.bytesSent = 0;

  const std::wstring newFirmware = host.Text(kTextNewFirmware);
  const double shown = header.version / 100.0;
  const std::wstring offer =
      header.beta != 0 ? FormatText(L"%ls %.1f beta%d\n", newFirmware.c_str(), shown, header.beta)
                       : FormatText(L"%ls %.1f\n", newFirmware.c_str(), shown);
  if (!host.ConfirmImage(offer)) {
    DebugLine(L"MessageBox == IDCANCEL");
    return false;
  }

  m_session.hid.SetReadTimeout(kTransferReadTimeoutMs);
  context.targetVersion = header.VersionWord();
  return true;
}

}  // namespace kestro
