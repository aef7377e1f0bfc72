// The tool's files, named as the command line names them: bytes on Linux, which need not be UTF-8;
// UTF-8 on Windows, whose own names are UTF-16. Implemented in posix/ and win32/.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kestro::tools {

// The whole file; nothing when it cannot be read (or is a folder).
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path);

// Writing an output file so that it is either whole or not there, even across a power cut: a
// package cut short by a full disk or a failed step would be picked in the updater's file dialog
// like any other.
//
// Writes the bytes to a new file beside the target and renames it over the target once all of
// them are on the disk, then syncs the folder so that the rename is too. The target is `path`, or
// the file at the end of its chain of symbolic links, which stay links; a replaced file's
// permission bits are kept, a new file takes the umask's. A link to nothing is refused rather
// than followed to create a file. On failure nothing new is left and an existing target is
// untouched (unless only the folder's sync failed, which the result then says); the result says
// what failed. Empty on success. On Windows the permission bits are the file's attributes, and the
// replacing rename writes through to the disk, folder entry and all.
std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace kestro::tools
