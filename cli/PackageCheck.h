// The package named on the command line, checked before anything is sent to a controller.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "update/Package.h"

namespace kestro::cli {

// A path as the command line gave it (UTF-8), for the file system.
std::filesystem::path PathOf(const std::string& utf8);
// A path as the command line would give it (UTF-8).
std::string PathText(const std::filesystem::path& path);
// Its full path, for the updater.
std::wstring FullPath(const std::string& utf8);

// One clear line when the file is no package at all, or cannot be read; nothing when it can be.
// Checked before anything else, so that a bad file is what the user hears of.
std::optional<std::string> PackageFileProblem(const std::string& path);

// The image the package holds for a controller, or one clear line why there is none.
struct ImageFor {
  std::optional<PackageImage> image;
  std::string problem;
};
ImageFor FindImageFor(const std::string& path, bool boot, std::uint16_t modelId,
                      std::uint8_t variant);

}  // namespace kestro::cli
