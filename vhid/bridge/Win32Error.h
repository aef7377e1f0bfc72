// A Win32 error code as text, formatted once where an operation fails.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace kestro::vhid {

inline std::string Win32ErrorText(DWORD error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, error, 0, text, sizeof(text), nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  char code[32];
  std::snprintf(code, sizeof(code), "error 0x%lx", error);
  return message.empty() ? code : message + " (" + code + ")";
}

}  // namespace kestro::vhid
