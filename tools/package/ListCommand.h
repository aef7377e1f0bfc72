// The list command: every record of a package and what the updater would refuse in it.
#pragma once

#include <ostream>

#include "tools/package/CommandLine.h"

namespace kestro::tools {

// The file ends inside a record: a build that was interrupted or a copy that was cut off.
inline constexpr int kExitCutShort = 2;

// Arguments: FILE.dat and optionally --json.
int RunList(Arguments args, std::ostream& out, std::ostream& err);

}  // namespace kestro::tools
