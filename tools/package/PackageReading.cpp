#include "tools/package/PackageReading.h"

#include "tools/package/CommandLine.h"
#include "tools/package/Files.h"

namespace kestro::tools {

std::optional<std::vector<std::uint8_t>> ReadPackage(const std::string& path, std::ostream& err) {
  std::optional<std::vector<std::uint8_t>> bytes = ReadWholeFile(path);
  if (!bytes) Fail(err, "cannot read " + path);
  return bytes;
}

}  // namespace kestro::tools
