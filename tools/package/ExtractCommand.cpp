#include "tools/package/ExtractCommand.h"

#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>

#include "tools/package/Files.h"
#include "tools/package/PackageListing.h"
#include "tools/package/PackageReading.h"

namespace kestro::tools {

int RunExtract(Arguments args, std::ostream& out, std::ostream& err) {
  if (args.size() != 3) return Fail(err, "extract needs FILE.dat N OUT.bin");
  const std::string path(args[0]);
  const std::string target(args[2]);
  const std::optional<std::uint64_t> index = ParseNumber(args[1]);
  if (!index) return Fail(err, "bad record number '" + std::string(args[1]) + "'");
  const std::optional<std::vector<std::uint8_t>> bytes = ReadPackage(path, err);
  if (!bytes) return kExitError;
  const Listing listing = ListPackage(*bytes);
  if (*index >= listing.records.size()) {
    return Fail(err, path + " has no record " + std::to_string(*index) + ": it holds " +
                         std::to_string(listing.records.size()));
  }
  const ListedRecord& record = listing.records[static_cast<std::size_t>(*index)];
  if (!record.HeaderWhole()) {
    return Fail(err, "record " + std::to_string(*index) + " is not whole: its header is cut short");
  }
  if (!record.ImageWhole()) {
    return Fail(err, "record " + std::to_string(*index) +
                         " is not whole: " + std::to_string(record.imageBytes) + " of its " +
                         std::to_string(record.length) + " image bytes are in the file");
  }
  if (const std::string error = WriteFileAtomically(target, ImageOf(*bytes, record));
      !error.empty()) {
    return Fail(err, error);
  }
  char base[16];
  std::snprintf(base, sizeof base, "0x%08" PRIx32, record.baseAddress);
  out << target << ": " << record.length << " bytes of record #" << *index << ", base " << base
      << "\n";
  return kExitOk;
}

}  // namespace kestro::tools
