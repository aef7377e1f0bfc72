// Writing an output file so that it is either whole or not there: a package cut short by a full
// disk or a failed step would be picked in the updater's file dialog like any other.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestro::tools {

// Writes the bytes to a new file beside `path` and renames it over `path` once all of them are
// written. On failure nothing new is left and an existing `path` is untouched; the result then
// says what failed. Empty on success.
std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace kestro::tools
