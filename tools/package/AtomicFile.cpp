#include "tools/package/AtomicFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestro::tools {
namespace {

// Enough to step past leftovers of crashed runs with the same process id.
constexpr int kTemporaryNameAttempts = 100;

std::string Because(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  // Beside the target, so that the rename stays inside one file system and is atomic.
  std::string temporary;
  std::FILE* file = nullptr;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && !file; ++attempt) {
    temporary = path + ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    // "x": never open a file someone else made; it also keeps the user's umask, unlike mkstemp.
    file = std::fopen(temporary.c_str(), "wbx");
    if (!file && errno != EEXIST) return Because("cannot create " + temporary);
  }
  if (!file) return "cannot create a temporary file beside " + path;
  bool written = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  int writeError = written ? 0 : errno;
  // A full disk may show only when the buffered rest is flushed at the close.
  if (std::fclose(file) != 0 && written) {
    written = false;
    writeError = errno;
  }
  if (!written) {
    errno = writeError;
    const std::string error = Because("cannot write " + temporary);
    std::remove(temporary.c_str());
    return error;
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string error = Because("cannot replace " + path);
    std::remove(temporary.c_str());
    return error;
  }
  return {};
}

}  // namespace kestro::tools
