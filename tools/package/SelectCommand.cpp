#include "tools/package/SelectCommand.h"

#include <cinttypes>
#include <cstdio>

#include "tools/package/PackageListing.h"
#include "tools/package/PackageReading.h"
#include "update/Package.h"

namespace kestro::tools {
namespace {

// The updater's positions are 32-bit and its scan stops rather than wrap.
constexpr std::uint64_t kLastPosition = 0xFFFFFFFFu;

std::string Describe(RecordProblem problem, const ListedRecord& record) {
  switch (problem) {
    case RecordProblem::kHeaderCutShort:
      return "its header is cut short";
    case RecordProblem::kImageCutShort:
      return "its image is cut short, " + std::to_string(record.imageBytes) + " of " +
             std::to_string(record.length) + " bytes in the file";
    case RecordProblem::kEmptyImage:
      return "its length is 0";
    case RecordProblem::kNextPastLimit:
      return "it ends past 2^32 - 1";
  }
  return "unknown";
}

std::string Controller(std::uint16_t modelId, std::uint8_t variant) {
  char text[48];
  std::snprintf(text, sizeof text, "model 0x%04x variant %u", modelId, variant);
  return text;
}

}  // namespace

Selection SelectImage(const std::vector<std::uint8_t>& package, std::uint16_t modelId,
                      std::uint8_t variant) {
  MemoryPackageSource source(package);
  const std::optional<PackageImage> found = FindPackageImage(source, modelId, variant);
  const Listing listing = ListPackage(package);

  // Where the scan ends, followed over the listing, to name the record and the reason.
  Selection selection;
  for (std::size_t i = 0; i < listing.records.size() && !selection.record; ++i) {
    const ListedRecord& r = listing.records[i];
    if (!r.HeaderWhole()) {
      selection.reason = "the scan ends at record #" + std::to_string(i) +
                         ", whose header is cut short, before any record matches";
      break;
    }
    if (r.modelId == modelId && r.variant == variant) {
      selection.record = i;
      selection.matched = r;
    } else if (r.NextOffset() > kLastPosition) {
      selection.reason = "the scan ends at record #" + std::to_string(i) +
                         ", which ends past 2^32 - 1, before any record matches";
      break;
    }
  }
  if (!selection.record && selection.reason.empty()) {
    selection.reason = "no record has " + Controller(modelId, variant);
  }

  if (found) {
    selection.accepted = true;
    selection.reason.clear();
    selection.consistent =
        selection.record && selection.matched.offset + kImageHeaderSize == found->dataOffset;
  } else if (selection.record) {
    const ListedRecord& r = selection.matched;
    const std::vector<RecordProblem> problems = r.Problems();
    selection.consistent = !problems.empty();
    for (const RecordProblem problem : problems) {
      selection.reason += (selection.reason.empty() ? "" : "; ") + Describe(problem, r);
    }
  }
  return selection;
}

int RunSelect(Arguments args, std::ostream& out, std::ostream& err) {
  std::optional<std::string> path;
  std::optional<std::uint64_t> model;
  std::optional<std::uint64_t> variant;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string arg(args[i]);
    if (arg == "--model" || arg == "--variant") {
      if (i + 1 >= args.size()) return Fail(err, arg + " needs a value");
      const std::optional<std::uint64_t> value = ParseNumber(args[++i]);
      const std::uint64_t max = arg == "--model" ? 0xFFFF : 0xFF;
      if (!value || *value > max) {
        return Fail(err, "bad " + arg + " value '" + std::string(args[i]) + "'");
      }
      (arg == "--model" ? model : variant) = value;
    } else if (arg.starts_with("--") || path) {
      return Fail(err, "select: unexpected argument '" + arg + "'");
    } else {
      path = arg;
    }
  }
  if (!path) return Fail(err, "select needs FILE.dat");
  // A boot-mode controller reports both; a normal-mode one reports neither, and the updater then
  // matches with the zeros it starts with.
  if (model.has_value() != variant.has_value()) {
    return Fail(err, "select takes --model and --variant together, or neither");
  }
  const std::optional<std::vector<std::uint8_t>> bytes = ReadPackage(*path, err);
  if (!bytes) return kExitError;

  const auto modelId = static_cast<std::uint16_t>(model.value_or(0));
  const auto variantId = static_cast<std::uint8_t>(variant.value_or(0));
  const Selection selection = SelectImage(*bytes, modelId, variantId);
  if (!selection.consistent) {
    return Fail(err, "the listing and the updater's scan disagree about " + *path +
                         "; this is a fault in the tool");
  }
  out << "controller " << Controller(modelId, variantId)
      << (model ? " (boot mode)\n" : " (normal mode)\n");
  if (selection.record) out << FormatRecordLine(*selection.record, selection.matched) << "\n";
  if (!selection.accepted) {
    out << (selection.record ? "the updater would refuse it: "
                             : "the updater would take no image: ")
        << selection.reason << "\n";
    return kExitRefused;
  }
  const ListedRecord& r = selection.matched;
  char line[128];
  std::snprintf(line, sizeof line,
                "the updater would take it: %" PRIu32 " bytes to 0x%08" PRIx32
                ", version word 0x%08" PRIx32 "\n",
                r.length, r.baseAddress, r.versionWord);
  out << line;
  return kExitOk;
}

}  // namespace kestro::tools
