#include "update/UpdateSession.h"

#include <algorithm>

#include "platform/Diagnostics.h"

namespace kestro {

std::uint32_t ProgressPercent(std::uint32_t bytesSent, std::uint32_t imageLength) {
  if (imageLength == 0) return 0;
  // In 64 bits: bytesSent x 100 passes 2^32 from 43 MB on.
  return static_cast<std::uint32_t>(std::uint64_t{bytesSent} * 100u / imageLength);
}

void ShowProgress(UpdateSession& session) {
  const UpdateContext& context = session.context;
  session.host.SetProgress(ProgressPercent(context.bytesSent, context.imageLength),
                           context.bytesSent, context.imageLength);
}

bool ReadImageBlock(UpdateContext& context, std::uint32_t blockSize, std::uint32_t& count) {
  // Never a byte behind the image: the next record's header or image stays in the package.
  const std::uint32_t wanted = std::min(blockSize, context.imageLength - context.bytesSent);
  std::size_t got = 0;
  if (!context.packageFile.Read(context.blockBuffer, wanted, got) || got != wanted) return false;
  count = wanted;
  return true;
}

void ReportFailure(UpdateSession& session) {
  session.host.Finish(UpdateHost::Outcome::kFailed,
                      FormatText(L"%ls\n", session.host.Text(kTextFailure).c_str()));
}

void ReportSuccess(UpdateSession& session) {
  session.host.Finish(UpdateHost::Outcome::kSucceeded,
                      FormatText(L"\n %ls \n", session.host.Text(kTextSuccess).c_str()));
}

std::wstring TransferPlace(const UpdateContext& context, std::uint32_t blockSize) {
  return FormatText(L"block %u at 0x%08x", context.bytesSent / blockSize,
                    context.imageBaseAddress + context.bytesSent);
}

}  // namespace kestro
