// The window seam: every platform call the window framework and the main dialog make. Win32
// windows in the shipped program (platform/win32/), a headless double in native tests
// (platform/headless/).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/NativeWindow.h"

namespace kestro {

class CDialog;

using IconHandle = void*;

struct Size {
  int width = 0;
  int height = 0;
};

// One paint of a window (BeginPaint on creation, EndPaint on destruction).
class PaintSession {
 public:
  virtual ~PaintSession() = default;
  // The painting device context, as passed with WM_ICONERASEBKGND.
  virtual std::uintptr_t DeviceContext() = 0;
  virtual int SystemMetric(std::uint32_t index) = 0;
  virtual Size ClientSize() = 0;
  virtual void DrawIcon(int x, int y, IconHandle icon) = 0;
};

// What the open-file dialog is asked for; it starts with no file name. The filter is in MFC form:
// pairs separated by '|', ending in "||".
struct OpenFileRequest {
  std::wstring filter;
  std::wstring defaultExtension;
  std::wstring initialDirectory;
  std::uint32_t flags = 0;
};

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Creates the dialog from its template, sends WM_INITDIALOG (dispatched to the dialog's
  // OnInitDialog) and runs the modal loop until the dialog is closed. Returns its result, or -1.
  virtual std::intptr_t RunModal(CDialog& dialog, int templateId, NativeWindow parent) = 0;

  virtual NativeWindow GetDlgItem(NativeWindow dialog, int id) = 0;
  virtual void SetWindowText(NativeWindow window, const std::wstring& text) = 0;
  // Returns whether the window was disabled before, as EnableWindow does.
  virtual bool EnableWindow(NativeWindow window, bool enable) = 0;
  virtual bool ShowWindow(NativeWindow window, int command) = 0;
  virtual std::intptr_t SendMessage(NativeWindow window, std::uint32_t message,
                                    std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // Queues the message for the window's thread and returns at once; false when it cannot.
  virtual bool PostMessage(NativeWindow window, std::uint32_t message, std::uintptr_t wParam,
                           std::intptr_t lParam) = 0;
  virtual bool IsIconic(NativeWindow window) = 0;
  virtual std::unique_ptr<PaintSession> BeginPaint(NativeWindow window) = 0;
  // The base dialog's own painting of a window that is not minimised.
  virtual void DefaultPaint(NativeWindow window) = 0;

  virtual IconHandle LoadIcon(int resourceId) = 0;
  // The string-table entry, empty when the entry is missing or empty.
  virtual std::wstring LoadString(std::uint32_t resourceId) = 0;
  virtual std::uint16_t GetUserDefaultUILanguage() = 0;

  // A modal message box owned by the window; caption nullptr means the program file's name
  // without its extension.
  virtual int MessageBox(NativeWindow owner, const std::wstring& text, const std::wstring* caption,
                         std::uint32_t type) = 0;
  // A modal open-file dialog owned by the window; true and the full path when it ends with OK.
  virtual bool GetOpenFileName(NativeWindow owner, const OpenFileRequest& request,
                               std::wstring& path) = 0;
  // The process's current directory read into a buffer of bufferChars characters; empty when it
  // does not fit.
  virtual std::wstring GetCurrentDirectory(std::size_t bufferChars) = 0;

  // Starts a thread with the default stack size, at once. False when it cannot be created.
  virtual bool StartThread(std::function<void()> body) = 0;
  virtual void Sleep(std::uint32_t milliseconds) = 0;
  // Milliseconds of a monotonic clock.
  virtual std::uint64_t TickCount() = 0;
  // Ends the process at once, without running destructors: for a dialog closed while a worker
  // still uses it.
  virtual void EndProcess() { std::_Exit(0); }
};

}  // namespace kestro
