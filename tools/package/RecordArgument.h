// One `--record KEY=VALUE,...` argument of the build command, made into a package record: header
// fields from the keys, the image generated (size, seed) or read from a raw binary or Intel HEX
// file (image).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "sim/Package.h"

namespace kestro::tools {

// Generated images are for tests of the updater and may be larger than any real firmware.
inline constexpr std::uint64_t kMaxGeneratedImageBytes = 64u << 20;
// An image file is real firmware: the same bound as for Intel HEX, for the same reason.
inline constexpr std::uint64_t kMaxFileImageBytes = 16u << 20;

struct RecordResult {
  std::optional<sim::PackageRecord> record;  // set exactly when the argument was good
  std::string error;                         // otherwise one line saying what is wrong
};

// `defaultSeed` is the pattern seed of a generated image without a seed key.
RecordResult MakeRecord(std::string_view argument, std::uint32_t defaultSeed);

}  // namespace kestro::tools
