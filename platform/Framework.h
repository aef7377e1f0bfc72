// A small dialog framework in the manner of MFC: an application object, a modal dialog built
// from a template with a message map, and thin window wrappers. Everything here is portable; the
// platform below it is the WindowSystem seam (Win32 windows in the shipped program, a headless
// double in native tests).
#pragma once

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "platform/HidPort.h"

namespace kestro {

// Window message and control values used above the seam. The Win32 backend checks them against
// <windows.h> at compile time.
namespace win {
inline constexpr std::uint32_t WM_PAINT = 0x000F;
inline constexpr std::uint32_t WM_ICONERASEBKGND = 0x0027;
inline constexpr std::uint32_t WM_QUERYDRAGICON = 0x0037;
inline constexpr std::uint32_t WM_SETICON = 0x0080;
inline constexpr std::uint32_t WM_INITDIALOG = 0x0110;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uint32_t WM_APP = 0x8000;  // first message of an application's own
inline constexpr std::uint32_t BN_CLICKED = 0;
inline constexpr std::uint32_t PBM_SETRANGE = 0x0401;
inline constexpr std::uint32_t PBM_SETPOS = 0x0402;
inline constexpr std::uint32_t PBM_GETPOS = 0x0408;
inline constexpr std::uintptr_t ICON_SMALL = 0;
inline constexpr std::uintptr_t ICON_BIG = 1;
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOW = 5;
inline constexpr std::uint32_t MB_OK = 0x0;
inline constexpr std::uint32_t MB_OKCANCEL = 0x1;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr std::uint32_t OFN_OVERWRITEPROMPT = 0x2;
inline constexpr std::uint32_t OFN_HIDEREADONLY = 0x4;
inline constexpr std::uint32_t DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t SM_CXICON = 11;
inline constexpr std::uint32_t SM_CYICON = 12;
inline constexpr std::uint16_t LANG_ZH_CN = 2052;
}  // namespace win

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

// What the open-file dialog is asked for. The filter is in MFC form: pairs separated by '|',
// ending in "||".
struct OpenFileRequest {
  std::wstring filter;
  std::wstring defaultExtension;
  std::wstring initialFileName;
  std::wstring initialDirectory;
  std::uint32_t flags = 0;
};

class CDialog;

// The seam below the framework: every platform call the shell makes.
class WindowSystem {
 public:
  virtual ~WindowSystem() = default;

  // Creates the dialog from its template, sends WM_INITDIALOG (dispatched to the dialog's
  // OnInitDialog) and runs the modal loop until EndDialog. Returns the EndDialog result, or -1.
  virtual std::intptr_t RunModal(CDialog& dialog, int templateId, NativeWindow parent) = 0;
  virtual void EndDialog(NativeWindow dialog, std::intptr_t result) = 0;

  virtual NativeWindow GetDlgItem(NativeWindow dialog, int id) = 0;
  virtual void SetWindowText(NativeWindow window, const std::wstring& text) = 0;
  virtual std::wstring GetWindowText(NativeWindow window) = 0;
  // Returns whether the window was disabled before, as EnableWindow does.
  virtual bool EnableWindow(NativeWindow window, bool enable) = 0;
  virtual bool IsWindowEnabled(NativeWindow window) = 0;
  virtual bool ShowWindow(NativeWindow window, int command) = 0;
  virtual bool IsWindowVisible(NativeWindow window) = 0;
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
  // The program file's name without its extension: the caption of a box given none.
  virtual std::wstring AppName() = 0;

  // A modal message box owned by the window; caption nullptr means the application's name.
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

// The process-wide window system, set once by the program's entry point (or a test).
WindowSystem& System();
void SetSystem(WindowSystem* system);

// A thin reference to a window, as MFC's CWnd.
class CWnd {
 public:
  CWnd() = default;
  explicit CWnd(NativeWindow window) : m_hWnd(window) {}
  virtual ~CWnd() = default;

  NativeWindow GetSafeHwnd() const { return m_hWnd; }
  void SetWindowText(const std::wstring& text) const;
  std::wstring GetWindowText() const;
  bool EnableWindow(bool enable = true) const;
  bool IsWindowEnabled() const;
  bool ShowWindow(int command) const;
  bool IsWindowVisible() const;
  std::intptr_t SendMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                            std::intptr_t lParam = 0) const;
  bool PostMessage(std::uint32_t message, std::uintptr_t wParam = 0,
                   std::intptr_t lParam = 0) const;
  bool IsIconic() const;
  int MessageBox(const std::wstring& text, const std::wstring* caption = nullptr,
                 std::uint32_t type = win::MB_OK) const;

  NativeWindow m_hWnd = nullptr;
};

class CDialog;

// One entry of a message map: a message (and, for WM_COMMAND, a notification code and control
// id) and the handler that receives it.
struct MessageMapEntry {
  std::uint32_t message;
  std::uint32_t notifyCode;
  int controlId;
  std::intptr_t (*handler)(CDialog& dialog, std::uintptr_t wParam, std::intptr_t lParam);
};

class CDialog : public CWnd {
 public:
  CDialog(int templateId, CWnd* parent) : m_templateId(templateId), m_parent(parent) {}
  ~CDialog() override = default;

  std::intptr_t DoModal();
  void EndDialog(std::intptr_t result);
  CWnd GetDlgItem(int id) const;

  virtual bool OnInitDialog();

  // Called by the window system for every message; true when the message map handled it.
  bool Dispatch(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                std::intptr_t& result);

 protected:
  // The base dialog's painting.
  void OnPaint();
  virtual const MessageMapEntry* GetMessageMap() const;

 private:
  int m_templateId;
  CWnd* m_parent;
};

class CWinApp {
 public:
  CWinApp();
  virtual ~CWinApp();
  virtual bool InitInstance();

  CWnd* m_pMainWnd = nullptr;
};

// The one application object.
CWinApp* AfxGetApp();

}  // namespace kestro

// Message map macros, in MFC's spelling. Each entry turns into a plain function that casts the
// dialog back to the class whose map it is.
#define DECLARE_MESSAGE_MAP() \
 protected:                   \
  const ::kestro::MessageMapEntry* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass)                                          \
  const ::kestro::MessageMapEntry* theClass::GetMessageMap() const {         \
    using ThisClass = theClass;                                              \
    static const ::kestro::MessageMapEntry entries[] = {
#define ON_WM_PAINT()                                                                   \
  {::kestro::win::WM_PAINT, 0, 0,                                                       \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t {          \
     static_cast<ThisClass&>(d).OnPaint();                                              \
     return 0;                                                                          \
   }},
#define ON_WM_QUERYDRAGICON()                                                            \
  {::kestro::win::WM_QUERYDRAGICON, 0, 0,                                                \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t {           \
     return reinterpret_cast<std::intptr_t>(static_cast<ThisClass&>(d).OnQueryDragIcon()); \
   }},
#define ON_WM_DEVICECHANGE()                                                                \
  {::kestro::win::WM_DEVICECHANGE, 0, 0,                                                    \
   [](::kestro::CDialog& d, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t { \
     return static_cast<ThisClass&>(d).OnDeviceChange(static_cast<std::uint32_t>(wParam),   \
                                                      lParam);                              \
   }},
#define ON_BN_CLICKED(id, memberFxn)                                           \
  {::kestro::win::WM_COMMAND, ::kestro::win::BN_CLICKED, id,                   \
   [](::kestro::CDialog& d, std::uintptr_t, std::intptr_t) -> std::intptr_t { \
     static_cast<ThisClass&>(d).memberFxn();                                   \
     return 0;                                                                 \
   }},
#define ON_MESSAGE(message, memberFxn)                                                    \
  {message, 0, 0,                                                                         \
   [](::kestro::CDialog& d, std::uintptr_t wParam, std::intptr_t lParam) -> std::intptr_t { \
     return static_cast<ThisClass&>(d).memberFxn(wParam, lParam);                          \
   }},
#define END_MESSAGE_MAP() \
  {0, 0, 0, nullptr}      \
  }                       \
  ;                       \
  return entries;         \
  }
