// A console shows what WriteConsoleW writes, whatever its code page; a pipe or a file gets the
// UTF-8 bytes as they are (WriteFile), line feeds unchanged. The C runtime's streams are not used:
// they write a byte at a time to a console and turn line feeds into CR LF in a pipe.
#include <string>

#include "platform/Utf8.h"
#include "platform/console/Console.h"

// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on

namespace kestro::console {
namespace {

bool IsConsole(HANDLE handle) {
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode);
}

void Write(DWORD which, std::string_view utf8) {
  const HANDLE handle = ::GetStdHandle(which);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  if (IsConsole(handle)) {
    const std::wstring wide = FromUtf8(std::string(utf8));
    DWORD written = 0;
    ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  for (std::size_t done = 0; done < utf8.size();) {
    DWORD written = 0;
    if (!::WriteFile(handle, utf8.data() + done, static_cast<DWORD>(utf8.size() - done), &written,
                     nullptr) ||
        written == 0) {
      return;  // the reader is gone
    }
    done += written;
  }
}

}  // namespace

void Out(std::string_view utf8) { Write(STD_OUTPUT_HANDLE, utf8); }
void Err(std::string_view utf8) { Write(STD_ERROR_HANDLE, utf8); }
bool OutIsTerminal() { return IsConsole(::GetStdHandle(STD_OUTPUT_HANDLE)); }
bool ErrIsTerminal() { return IsConsole(::GetStdHandle(STD_ERROR_HANDLE)); }

bool ReadLine(std::string& line) {
  line.clear();
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (IsConsole(input)) {
    wchar_t buffer[256];
    DWORD read = 0;
    if (!::ReadConsoleW(input, buffer, 256, &read, nullptr) || read == 0) return false;
    std::wstring wide(buffer, read);
    while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r')) wide.pop_back();
    line = ToUtf8(wide);
    return true;
  }
  // A pipe or a file: bytes up to the line feed.
  for (;;) {
    char c = 0;
    DWORD read = 0;
    if (!::ReadFile(input, &c, 1, &read, nullptr) || read == 0) return !line.empty();
    if (c == '\n') break;
    line.push_back(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace kestro::console
