#include "tools/package/PackageReading.h"

#include "sim/Package.h"
#include "tools/package/CommandLine.h"

namespace kestro::tools {

std::optional<std::vector<std::uint8_t>> ReadPackage(const std::string& path, std::ostream& err) {
  std::optional<std::vector<std::uint8_t>> bytes = sim::ReadFileBytes(path);
  if (!bytes) Fail(err, "cannot read " + path);
  return bytes;
}

}  // namespace kestro::tools
