// Writing an output file so that it is either whole or not there, even across a power cut: a
// package cut short by a full disk or a failed step would be picked in the updater's file dialog
// like any other.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestro::tools {

// Writes the bytes to a new file beside the target and renames it over the target once all of
// them are on the disk, then syncs the folder so that the rename is too. The target is `path`, or
// the file at the end of its chain of symbolic links, which stay links; a replaced file's
// permission bits are kept, a new file takes the umask's. A link to nothing is refused rather
// than followed to create a file. On failure nothing new is left and an existing target is
// untouched (unless only the folder's sync failed, which the result then says); the result says
// what failed. Empty on success.
std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace kestro::tools
