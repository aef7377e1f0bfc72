// The extract command: one record's image bytes, as the updater would send them.
#pragma once

#include <ostream>

#include "tools/package/CommandLine.h"

namespace kestro::tools {

// Arguments: FILE.dat N OUT.bin, N 0-based as list numbers the records.
int RunExtract(Arguments args, std::ostream& out, std::ostream& err);

}  // namespace kestro::tools
