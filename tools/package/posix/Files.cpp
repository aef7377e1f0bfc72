#include "tools/package/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <utility>

#include "sim/Package.h"

namespace kestro::tools {
namespace {

// Enough to step past leftovers of crashed runs with the same process id.
constexpr int kTemporaryNameAttempts = 100;
// As many links as Linux's own path lookup follows before it gives up with ELOOP.
constexpr int kMaxLinkHops = 40;
constexpr mode_t kPermissionBits = S_IRWXU | S_IRWXG | S_IRWXO;

std::string Because(const std::string& what, int error = errno) {
  return what + ": " + std::strerror(error);
}

class Descriptor {
 public:
  explicit Descriptor(int fd) : m_fd(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  int get() const { return m_fd; }
  // Some file systems (NFS) report a failed write only here.
  bool Close() { return ::close(std::exchange(m_fd, -1)) == 0; }

 private:
  int m_fd;
};

bool WriteAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(written));
  }
  return true;
}

// The file the bytes are for.
struct Target {
  std::filesystem::path path;
  std::optional<mode_t> mode;  // the permission bits of the file replaced; none for a new file
};

// Follows `path`'s chain of links, relative ones from the folder of the link that holds them.
std::string FindTarget(const std::string& path, Target& target) {
  // The kernel's own lookup first: it reports a loop, and a link that fs.protected_symlinks
  // forbids to follow, which reading the links by hand would not.
  struct stat status {};
  const bool exists = ::stat(path.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) return Because("cannot write " + path);
  if (exists && !S_ISREG(status.st_mode)) {
    return "cannot replace " + path + ": it is not a regular file";
  }
  target.path = path;
  int hops = 0;
  std::error_code error;
  for (; std::filesystem::is_symlink(std::filesystem::symlink_status(target.path, error)); ++hops) {
    if (hops == kMaxLinkHops) return Because("cannot write " + path, ELOOP);
    const std::filesystem::path link = std::filesystem::read_symlink(target.path, error);
    if (error) return "cannot read the link " + target.path.string() + ": " + error.message();
    target.path = target.path.parent_path() / link;  // an absolute link replaces it whole
  }
  // GNU cp refuses this too: a link to nothing is more often stale, or planted, than a request to
  // create a file wherever it points.
  if (!exists && hops > 0) {
    return "cannot write " + path + ": it is a symbolic link to " + target.path.string() +
           ", which does not exist";
  }
  if (exists) target.mode = status.st_mode & kPermissionBits;
  return {};
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  return sim::ReadFileBytes(path);
}

std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  Target target;
  if (std::string error = FindTarget(path, target); !error.empty()) return error;
  const std::string targetName = target.path.string();
  const std::filesystem::path parent = target.path.parent_path();
  const std::string folderName = parent.empty() ? "." : parent.string();
  // Opened before anything is written, so that a folder that cannot be synced fails the write
  // while the old file is still in place.
  const Descriptor folder(::open(folderName.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0) return Because("cannot open the folder " + folderName);

  // Beside the target, so that the rename stays inside one file system and is atomic.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd < 0; ++attempt) {
    temporary =
        targetName + ".partial-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
    // O_EXCL: never open a file someone else made. Created no wider than the file it replaces,
    // and through the umask, unlike mkstemp's fixed 0600.
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC,
                target.mode.value_or(0666));
    if (fd < 0 && errno != EEXIST) return Because("cannot create " + temporary);
  }
  if (fd < 0) return "cannot create a temporary file beside " + targetName;
  Descriptor file(fd);
  const auto failed = [&](const std::string& what) {
    const std::string error = Because(what);
    std::remove(temporary.c_str());
    return error + "; " + targetName + " is left as it was";
  };
  if (!WriteAll(file.get(), bytes)) return failed("cannot write " + temporary);
  // The umask may have taken bits off the old mode at the create.
  if (target.mode && ::fchmod(file.get(), *target.mode) != 0) {
    return failed("cannot give " + temporary + " the mode of " + targetName);
  }
  // Without this a power cut after the rename can leave the name on an empty or partial file.
  if (::fsync(file.get()) != 0) return failed("cannot sync " + temporary + " to the disk");
  if (!file.Close()) return failed("cannot write " + temporary);
  if (std::rename(temporary.c_str(), targetName.c_str()) != 0) {
    return failed("cannot replace " + targetName);
  }
  // Some file systems cannot sync a folder (EINVAL); there is nothing more to do on those.
  if (::fsync(folder.get()) != 0 && errno != EINVAL) {
    return Because("wrote " + targetName + " but cannot sync its folder to the disk") +
           "; a power cut may yet bring back the old file";
  }
  return {};
}

}  // namespace kestro::tools
