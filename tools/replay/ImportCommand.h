// kestro-replay import: a USB capture of a session with a controller, as a recording.
#pragma once

#include <ostream>
#include <span>
#include <string_view>

namespace kestro::replay {

using Arguments = std::span<const std::string_view>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;  // the recording could not be written
inline constexpr int kExitCapture =
    2;  // no session in the capture: damaged, not USB, no controller
inline constexpr int kExitUsage = 64;

extern const char kUsage[];

// The arguments behind "import". Writes the recording, and one line to `err`: what was skipped, or
// why nothing was written.
int RunImport(Arguments args, std::ostream& err);

}  // namespace kestro::replay
