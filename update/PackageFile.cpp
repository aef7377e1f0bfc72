#include "update/PackageFile.h"

#include "platform/Utf8.h"

#ifdef _WIN32
#include <share.h>
#else
#include <sys/stat.h>

#endif

namespace kestro {

#ifdef _WIN32
bool PackageFile::Open(const std::wstring& path) {
  Close();
  m_file = _wfsopen(path.c_str(), L"rb", _SH_DENYRW);
  return m_file != nullptr;
}
#else

bool PackageFile::Open(const std::wstring& path) {
  Close();
  const std::string name = ToUtf8(path);
  struct stat info;
  // Only regular files: a directory opens with fopen on Linux but is no package.
  if (::stat(name.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  m_file = std::fopen(name.c_str(), "rb");
  return m_file != nullptr;
}
#endif

void PackageFile::Close() {
  if (m_file) {
    std::fclose(m_file);
    m_file = nullptr;
  }
}

bool PackageFile::Seek(std::uint32_t position) {
  if (!m_file) return false;
#ifdef _WIN32
  return _fseeki64(m_file, position, SEEK_SET) == 0;
#else
  return fseeko(m_file, static_cast<off_t>(position), SEEK_SET) == 0;
#endif
}

bool PackageFile::Read(std::uint8_t* destination, std::size_t count, std::size_t& got) {
  got = 0;
  if (!m_file) return false;
  got = std::fread(destination, 1, count, m_file);
  return got == count || !std::ferror(m_file);
}

std::uint64_t PackageFile::Length() {
  if (!m_file) return 0;
#ifdef _WIN32
  const auto here = _ftelli64(m_file);
  _fseeki64(m_file, 0, SEEK_END);
  const auto end = _ftelli64(m_file);
  _fseeki64(m_file, here, SEEK_SET);
#else
  const auto here = ftello(m_file);
  fseeko(m_file, 0, SEEK_END);
  const auto end = ftello(m_file);
  fseeko(m_file, here, SEEK_SET);
#endif
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

bool PackageFile::ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
                         std::size_t& got) {
  got = 0;
  return Seek(position) && Read(destination, count, got);
}

}  // namespace kestro
