#include "tools/package/ListCommand.h"

#include <optional>
#include <string>

#include "tools/package/PackageListing.h"
#include "tools/package/PackageReading.h"

namespace kestro::tools {

int RunList(Arguments args, std::ostream& out, std::ostream& err) {
  bool json = false;
  std::optional<std::string> path;
  for (const std::string_view arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (arg.starts_with("--") || path) {
      return Fail(err, "list: unexpected argument '" + std::string(arg) + "'");
    } else {
      path = std::string(arg);
    }
  }
  if (!path) return Fail(err, "list needs FILE.dat");
  const std::optional<std::vector<std::uint8_t>> bytes = ReadPackage(*path, err);
  if (!bytes) return kExitError;
  const Listing listing = ListPackage(*bytes);
  out << (json ? FormatListingJson(listing) : FormatListing(listing));
  return listing.cutShort ? kExitCutShort : kExitOk;
}

}  // namespace kestro::tools
