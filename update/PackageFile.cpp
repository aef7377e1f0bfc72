#include "update/PackageFile.h"

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
namespace {
std::string ToUtf8(const std::wstring& text) {
  std::string out;
  for (wchar_t wc : text) {
    auto c = static_cast<std::uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
}  // namespace

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
