// The build command: a package from --record arguments, written whole or not at all.
#pragma once

#include <ostream>

#include "tools/package/CommandLine.h"

namespace kestro::tools {

// Arguments: OUT.dat, then --record KEY=VALUE,... (one or more) and --truncate BYTES.
int RunBuild(Arguments args, std::ostream& out, std::ostream& err);

}  // namespace kestro::tools
