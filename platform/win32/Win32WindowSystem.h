// The window framework's Win32 backend: real dialogs from the program's resources, message
// boxes, the open-file common dialog and threads.
#pragma once

#include "platform/Framework.h"
#include "platform/WindowSystem.h"

namespace kestro::win32 {

// WM_DEVICECHANGE as a posted message. The system sends arrival and removal synchronously, and
// neither Windows nor Wine lets a program post them (wParam bit 15 marks a message whose lParam
// is a pointer: ERROR_MESSAGE_SYNC_ONLY). A port that learns of device events on a thread of its
// own posts this instead, with the event in wParam; the dialog procedure hands it on as
// WM_DEVICECHANGE with lParam 0, in the order posted, without blocking the poster.
inline constexpr unsigned kPostedDeviceChange = 0x8000 + 0x0219;  // WM_APP + WM_DEVICECHANGE

class Win32WindowSystem : public WindowSystem {
 public:
  std::intptr_t RunModal(CDialog& dialog, int templateId, NativeWindow parent) override;

  NativeWindow GetDlgItem(NativeWindow dialog, int id) override;
  void SetWindowText(NativeWindow window, const std::wstring& text) override;
  bool EnableWindow(NativeWindow window, bool enable) override;
  bool ShowWindow(NativeWindow window, int command) override;
  std::intptr_t SendMessage(NativeWindow window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  bool PostMessage(NativeWindow window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  bool IsIconic(NativeWindow window) override;
  std::unique_ptr<PaintSession> BeginPaint(NativeWindow window) override;
  void DefaultPaint(NativeWindow window) override;

  IconHandle LoadIcon(int resourceId) override;
  std::wstring LoadString(std::uint32_t resourceId) override;
  std::uint16_t GetUserDefaultUILanguage() override;

  int MessageBox(NativeWindow owner, const std::wstring& text, const std::wstring* caption,
                 std::uint32_t type) override;
  bool GetOpenFileName(NativeWindow owner, const OpenFileRequest& request,
                       std::wstring& path) override;
  std::wstring GetCurrentDirectory(std::size_t bufferChars) override;

  bool StartThread(std::function<void()> body) override;
  void Sleep(std::uint32_t milliseconds) override;
  std::uint64_t TickCount() override;
};

}  // namespace kestro::win32
