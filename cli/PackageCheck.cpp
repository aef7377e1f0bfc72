#include "cli/PackageCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Utf8.h"
#include "update/PackageFile.h"

namespace kestro::cli {

std::filesystem::path PathOf(const std::string& utf8) {
#ifdef _WIN32
  return std::filesystem::path(FromUtf8(utf8));  // the file system's names are UTF-16
#else
  return std::filesystem::path(utf8);  // the file system's names are bytes
#endif
}

std::string PathText(const std::filesystem::path& path) {
#ifdef _WIN32
  return ToUtf8(path.wstring());
#else
  return path.string();
#endif
}

std::wstring FullPath(const std::string& utf8) {
  const std::filesystem::path full = std::filesystem::absolute(PathOf(utf8));
#ifdef _WIN32
  return full.wstring();
#else
  return FromUtf8(full.string());
#endif
}

std::optional<std::string> PackageFileProblem(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(PathOf(path), error)) {
    return "cannot read " + path + ": " +
           (error ? error.message() : std::string("not a regular file"));
  }
  PackageFile file;
  if (!file.Open(FullPath(path))) return "cannot read " + path + ": " + std::strerror(errno);
  // A package starts with a whole header and its whole image.
  std::uint8_t head[kImageHeaderSize];
  std::size_t got = 0;
  const std::uint64_t length = file.Length();
  if (!file.ReadAt(0, head, sizeof head, got) || got != sizeof head ||
      kImageHeaderSize + std::uint64_t{ImageHeader::Parse(head).length} > length) {
    return path + " is not a firmware package";
  }
  return std::nullopt;
}

ImageFor FindImageFor(const std::string& path, bool boot, std::uint16_t modelId,
                      std::uint8_t variant) {
  PackageFile file;
  if (!file.Open(FullPath(path))) return {std::nullopt, "cannot read " + path};
  std::optional<PackageImage> image = FindPackageImage(file, modelId, variant);
  if (image) return {image, {}};
  char identity[64];
  std::snprintf(identity, sizeof identity, " (model 0x%04x, variant %u)", modelId, variant);
  return {std::nullopt,
          path + " holds no image for this controller" + (boot ? std::string(identity) : "")};
}

}  // namespace kestro::cli
