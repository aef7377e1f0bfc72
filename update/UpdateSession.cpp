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
  session.host.SetProgress(ProgressPercent(session.context.bytesSent, session.context.imageLength));
}

bool ReadImageBlock(UpdateContext& context, std::uint32_t blockSize, std::uint32_t& count) {
  // Never a byte behind the image: the next record's header or image stays in the package.
  const std::uint32_t wanted = std::min(blockSize, context.imageLength - context.bytesSent);
  std::size_t got = 0;
  if (!context.packageFile.Read(context.blockBuffer, wanted, got) || got != wanted) return false;
  count = wanted;
  return true;
}

void ShowFailure(UpdateSession& session) {
  session.host.Tell(FormatText(L"%ls\n", session.host.Text(kTextFailure).c_str()));
}

void ShowSuccess(UpdateSession& session) {
  session.host.Tell(FormatText(L"\n %ls \n", session.host.Text(kTextSuccess).c_str()));
  session.host.ShowSuccessLabel();
  session.host.SetProgress(0);
}

}  // namespace kestro
