#include "tools/package/BuildCommand.h"

#include <string>
#include <vector>

#include "sim/Package.h"
#include "tools/package/Files.h"
#include "tools/package/RecordArgument.h"
#include "update/Package.h"

namespace kestro::tools {
namespace {

// The updater keeps file positions in 32 bits: a record starting beyond that is out of its reach.
constexpr std::uint64_t kMaxPackageBytes = 0xFFFFFFFFu;

}  // namespace

int RunBuild(Arguments args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args[0].starts_with("--")) return Fail(err, "build needs OUT.dat first");
  const std::string path(args[0]);
  std::vector<sim::PackageRecord> records;
  std::optional<std::uint64_t> truncate;
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string option(args[i]);
    if (option != "--record" && option != "--truncate") {
      return Fail(err, "build: unknown argument '" + option + "'");
    }
    if (i + 1 >= args.size()) return Fail(err, option + " needs a value");
    const std::string_view value = args[++i];
    if (option == "--truncate") {
      truncate = ParseNumber(value);
      if (!truncate) return Fail(err, "bad --truncate value");
      continue;
    }
    RecordResult made = MakeRecord(value, static_cast<std::uint32_t>(records.size() + 1));
    if (!made.record)
      return Fail(err, "record " + std::to_string(records.size()) + ": " + made.error);
    records.push_back(std::move(*made.record));
  }
  std::uint64_t total = 0;
  for (const sim::PackageRecord& record : records) total += kImageHeaderSize + record.image.size();
  if (total > kMaxPackageBytes) {
    return Fail(err, "the package would be " + std::to_string(total) +
                         " bytes, beyond the updater's 32-bit file positions");
  }
  std::vector<std::uint8_t> bytes = sim::BuildPackage(records);
  if (truncate) {
    if (*truncate >= bytes.size()) {
      return Fail(err, "--truncate " + std::to_string(*truncate) + " does not cut the " +
                           std::to_string(bytes.size()) + "-byte package");
    }
    bytes.resize(static_cast<std::size_t>(*truncate));
  }
  if (const std::string error = WriteFileAtomically(path, bytes); !error.empty()) {
    return Fail(err, error);
  }
  out << path << ": " << records.size() << " record(s), " << bytes.size() << " bytes\n";
  return kExitOk;
}

}  // namespace kestro::tools
