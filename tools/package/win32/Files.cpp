#include "tools/package/Files.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/Utf8.h"

// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on

namespace kestro::tools {
namespace {

// Enough to step past leftovers of crashed runs with the same process id.
constexpr int kTemporaryNameAttempts = 100;
// What a replaced file keeps of its attributes. Read-only is not among them: the system refuses
// to replace a read-only file, and the tool reports that rather than clearing the flag.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                  FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
// One WriteFile or ReadFile call moves at most a DWORD's worth.
constexpr std::size_t kChunkBytes = std::size_t{1} << 30;

std::string Because(const std::string& what, DWORD error) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return what + ": error " + std::to_string(error);
  std::wstring wide(text, length);
  ::LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) {
    wide.pop_back();
  }
  return what + ": " + ToUtf8(wide);
}
std::string Because(const std::string& what) { return Because(what, ::GetLastError()); }

class Handle {
 public:
  explicit Handle(HANDLE handle) : m_handle(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (Valid()) ::CloseHandle(m_handle);
  }
  HANDLE get() const { return m_handle; }
  bool Valid() const { return m_handle != INVALID_HANDLE_VALUE; }
  bool Close() { return ::CloseHandle(std::exchange(m_handle, INVALID_HANDLE_VALUE)) != 0; }

 private:
  HANDLE m_handle;
};

bool WriteAll(HANDLE file, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const auto count = static_cast<DWORD>(std::min(bytes.size(), kChunkBytes));
    if (!::WriteFile(file, bytes.data(), count, &written, nullptr) || written == 0) return false;
    bytes = bytes.subspan(written);
  }
  return true;
}

// The file the bytes are for.
struct Target {
  std::wstring path;
  DWORD attributes = FILE_ATTRIBUTE_NORMAL;  // for the new file: those of the file it replaces
};

// `path` itself, or for a symbolic link the file at the end of it, as the system follows it.
std::string FindTarget(const std::string& path, Target& target) {
  target.path = FromUtf8(path);
  const DWORD attributes = ::GetFileAttributesW(target.path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    // A missing folder fails at the create, which says so.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return {};
    return Because("cannot write " + path, error);
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return "cannot replace " + path + ": it is not a regular file";
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    if ((attributes & kKeptAttributes) != 0) target.attributes = attributes & kKeptAttributes;
    return {};
  }
  // Opened for no access at all: only to ask the system where the link leads.
  const Handle end(::CreateFileW(target.path.c_str(), 0,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!end.Valid()) {
    const DWORD error = ::GetLastError();
    // As on Linux: a link to nothing is more often stale, or planted, than a request to create a
    // file wherever it points.
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return "cannot write " + path + ": it is a symbolic link to a file that does not exist";
    }
    return Because("cannot write " + path, error);
  }
  BY_HANDLE_FILE_INFORMATION information{};
  std::wstring final(MAX_PATH, L'\0');
  DWORD length = 0;
  for (;;) {
    length = ::GetFinalPathNameByHandleW(end.get(), final.data(), static_cast<DWORD>(final.size()),
                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length < final.size()) break;
    final.resize(length);  // the size it needs, its terminator counted
  }
  if (length == 0 || !::GetFileInformationByHandle(end.get(), &information)) {
    return Because("cannot follow the link " + path);
  }
  final.resize(length);
  target.path = std::move(final);
  if ((information.dwFileAttributes & kKeptAttributes) != 0) {
    target.attributes = information.dwFileAttributes & kKeptAttributes;
  }
  return {};
}

}  // namespace

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path) {
  // A folder does not open without FILE_FLAG_BACKUP_SEMANTICS: it comes back as a failure.
  const Handle file(::CreateFileW(FromUtf8(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.Valid()) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  std::vector<std::uint8_t> chunk(64 * 1024);
  for (;;) {
    DWORD got = 0;
    if (!::ReadFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &got, nullptr)) {
      return std::nullopt;
    }
    if (got == 0) return bytes;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + got);
  }
}

std::string WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  Target target;
  if (std::string error = FindTarget(path, target); !error.empty()) return error;
  const std::string targetName = ToUtf8(target.path);

  // Beside the target, so that the rename stays inside one volume and replaces it at once.
  std::wstring temporary;
  HANDLE created = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && created == INVALID_HANDLE_VALUE;
       ++attempt) {
    temporary = target.path + L".partial-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                std::to_wstring(attempt);
    // CREATE_NEW: never open a file someone else made.
    created = ::CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            target.attributes, nullptr);
    if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
      return Because("cannot create " + ToUtf8(temporary));
    }
  }
  if (created == INVALID_HANDLE_VALUE) {
    return "cannot create a temporary file beside " + targetName;
  }
  Handle file(created);
  const std::string temporaryName = ToUtf8(temporary);
  const auto failed = [&](const std::string& what) {
    const std::string error = Because(what);
    if (file.Valid()) file.Close();
    ::DeleteFileW(temporary.c_str());
    return error + "; " + targetName + " is left as it was";
  };
  if (!WriteAll(file.get(), bytes)) return failed("cannot write " + temporaryName);
  // Without this a power cut after the rename can leave the name on an empty or partial file.
  if (!::FlushFileBuffers(file.get()))
    return failed("cannot flush " + temporaryName + " to the disk");
  if (!file.Close()) return failed("cannot write " + temporaryName);
  // Write-through: the call returns once the folder's new entry is on the disk too, which is what
  // syncing the folder does on Linux.
  if (!::MoveFileExW(temporary.c_str(), target.path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return failed("cannot replace " + targetName);
  }
  return {};
}

}  // namespace kestro::tools
