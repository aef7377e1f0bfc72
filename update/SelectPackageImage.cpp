#include "platform/Diagnostics.h"
#include "update/Updater.h"

namespace kestro {
namespace {
constexpr std::size_t kCurrentDirectoryChars = 256;
constexpr int kTextFileType = 3;
constexpr int kTextNewFirmware = 5;
constexpr int kTextTitle = 6;
}  // namespace

bool Updater::SelectPackageImage() {
  OpenFileRequest request;
  request.filter = m_host.Text(kTextFileType) + L"(*.dat)|*.dat||";
  request.defaultExtension = L"*.*";
  request.flags = win::OFN_HIDEREADONLY | win::OFN_OVERWRITEPROMPT;
  m_context.selectedHeader = ImageHeader{};
  request.initialDirectory = m_host.CurrentDirectory(kCurrentDirectoryChars);

  std::wstring path;
  if (!m_host.ChooseFile(request, path)) return false;
  m_context.packagePath = path;

  std::optional<PackageImage> image;
  {
    PackageFile file;
    if (!file.Open(path)) return false;
    image = FindPackageImage(file, m_context.deviceModelId, m_context.deviceVariant);
  }
  if (!image) return false;

  const ImageHeader& header = image->header;
  m_context.selectedHeader = header;
  m_context.imageDataOffset = image->dataOffset;
  m_context.targetVersion = header.version;
  m_context.imageBaseAddress = header.baseAddress;
  m_context.imageLength = header.length;
  m_context.bytesSent = 0;

  const std::wstring newFirmware = m_host.Text(kTextNewFirmware);
  const double shown = header.version / 100.0;
  const std::wstring text =
      header.beta != 0 ? FormatText(L"%ls %.1f beta%d\n", newFirmware.c_str(), shown, header.beta)
                       : FormatText(L"%ls %.1f\n", newFirmware.c_str(), shown);
  const std::wstring caption = m_host.Text(kTextTitle);
  if (m_host.ShowMessage(text, &caption, win::MB_OKCANCEL) == win::IDCANCEL) {
    DebugLine(L"MessageBox == IDCANCEL");
    return false;
  }

  m_hid.SetReadTimeout(kTransferReadTimeoutMs);
  m_context.targetVersion = header.VersionWord();
  if (m_kind == kDeviceKindNormal) {
    updateState = kUpdateStateWaiting;
    SendFirmwareInfo();
    DebugLine(L"desVersion is %d", static_cast<int>(header.VersionWord()));
  }
  return true;
}

}  // namespace kestro
