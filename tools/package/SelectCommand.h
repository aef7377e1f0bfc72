// The select command: which record the updater would take for a controller, and whether it would
// take it at all. The verdict is the updater's own scan; the listing only names the record and
// the reason for a refusal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tools/package/CommandLine.h"
#include "tools/package/PackageListing.h"

namespace kestro::tools {

// The updater would take no image: no record matches, or the matching one is refused.
inline constexpr int kExitRefused = 2;

struct Selection {
  bool accepted = false;              // the updater's verdict
  std::optional<std::size_t> record;  // the record the scan stops at as the match, 0-based
  ListedRecord matched;               // that record, when there is one
  std::string reason;                 // why nothing would be taken; empty when accepted
  // False when the listing would explain a verdict other than the updater's: a fault in the tool.
  bool consistent = true;
};

Selection SelectImage(const std::vector<std::uint8_t>& package, std::uint16_t modelId,
                      std::uint8_t variant);

// Arguments: FILE.dat and optionally --model M --variant V (both or neither).
int RunSelect(Arguments args, std::ostream& out, std::ostream& err);

}  // namespace kestro::tools
