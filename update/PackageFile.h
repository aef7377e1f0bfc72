// The package file, opened read-only and without sharing for each use, closed at its end.
#pragma once

#include <cstdio>
#include <string>

#include "update/Package.h"

namespace kestro {

class PackageFile : public PackageSource {
 public:
  PackageFile() = default;
  ~PackageFile() override { Close(); }
  PackageFile(const PackageFile&) = delete;
  PackageFile& operator=(const PackageFile&) = delete;

  // An existing file, for reading only; no other program may open it meanwhile.
  bool Open(const std::wstring& path);
  void Close();
  bool IsOpen() const { return m_file != nullptr; }

  bool Seek(std::uint32_t position);
  // Reads up to count bytes at the current position; false on a read error.
  bool Read(std::uint8_t* destination, std::size_t count, std::size_t& got);

  std::uint64_t Length() override;
  bool ReadAt(std::uint32_t position, std::uint8_t* destination, std::size_t count,
              std::size_t& got) override;

 private:
  std::FILE* m_file = nullptr;
};

}  // namespace kestro
