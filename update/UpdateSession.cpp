#include "update/UpdateSession.h"

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

void ShowFailure(UpdateSession& session) {
  session.host.Tell(FormatText(L"%ls\n", session.host.Text(kTextFailure).c_str()));
}

void ShowSuccess(UpdateSession& session) {
  session.host.Tell(FormatText(L"\n %ls \n", session.host.Text(kTextSuccess).c_str()));
  session.host.ShowSuccessLabel();
  session.host.SetProgress(0);
}

}  // namespace kestro
