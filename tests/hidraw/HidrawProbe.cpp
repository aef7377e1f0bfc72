// hidraw-probe: what the hidraw port makes of the present nodes, for a test that runs it as a
// user the nodes may refuse. One line per node ("opened PATH" or "refused PATH ERRNO"), then one
// per node DeniedNodes lists ("denied PATH VVVV:PPPP").
#include <cstdio>
#include <string>

#include "platform/hidraw/HidrawPort.h"

namespace {

std::string Narrow(const std::wstring& path) { return std::string(path.begin(), path.end()); }

}  // namespace

int main() {
  kestro::hidraw::HidrawPort port;
  for (const std::wstring& path : port.EnumerateInterfaces()) {
    const kestro::PortHandle handle = port.Open(path, kestro::PortAccess::ProbeReadWrite);
    if (handle == kestro::kNoHandle) {
      std::printf("refused %s %u\n", Narrow(path).c_str(), port.LastError());
    } else {
      std::printf("opened %s\n", Narrow(path).c_str());
      port.Close(handle);
    }
  }
  for (const auto& denied : port.DeniedNodes()) {
    std::printf("denied %s %04x:%04x\n", Narrow(denied.path).c_str(), denied.attributes.vendorId,
                denied.attributes.productId);
  }
  return 0;
}
