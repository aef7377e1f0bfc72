#include "platform/win32/Win32WindowSystem.h"

#include <algorithm>
#include <vector>

// The SDK headers come last (see Win32Api.h).
// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on

namespace kestro::win32 {
namespace {

static_assert(kPostedDeviceChange >= WM_APP && kPostedDeviceChange < 0xC000,
              "a private message of the application's range");

HWND ToHwnd(NativeWindow window) { return static_cast<HWND>(window); }
HMODULE ProgramModule() { return ::GetModuleHandleW(nullptr); }

// The framework's placement of a dialog that did not place itself: centred over its owner, or
// over the work area of its monitor when it has none, and kept inside that work area.
void CentreDialog(HWND dialog) {
  RECT window{};
  ::GetWindowRect(dialog, &window);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof(monitor);
  ::GetMonitorInfoW(::MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
  const RECT area = monitor.rcWork;
  RECT centre = area;
  HWND owner = ::GetWindow(dialog, GW_OWNER);
  if (owner != nullptr && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &centre);
  }
  const int width = window.right - window.left;
  const int height = window.bottom - window.top;
  int x = (centre.left + centre.right) / 2 - width / 2;
  int y = (centre.top + centre.bottom) / 2 - height / 2;
  x = std::max(static_cast<int>(area.left), std::min(x, static_cast<int>(area.right) - width));
  y = std::max(static_cast<int>(area.top), std::min(y, static_cast<int>(area.bottom) - height));
  ::SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// Routes every message of a modal dialog through its message map, returning values the way a
// dialog procedure must.
INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kPostedDeviceChange) {
    message = WM_DEVICECHANGE;
    lParam = 0;
  }
  CDialog* dialog = nullptr;
  if (message == WM_INITDIALOG) {
    dialog = reinterpret_cast<CDialog*>(lParam);
    ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    dialog->m_hWnd = window;
  } else {
    // Messages before WM_INITDIALOG (WM_SETFONT, ...) find no dialog and get the defaults.
    dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrW(window, DWLP_USER));
  }
  if (dialog == nullptr) return FALSE;

  RECT before{};
  if (message == WM_INITDIALOG) ::GetWindowRect(window, &before);
  std::intptr_t result = 0;
  const bool handled = dialog->Dispatch(message, wParam, lParam, result);
  if (message == WM_INITDIALOG) {
    // As the framework does: a dialog that is still hidden and unmoved after its initialisation
    // is centred (the template's position is 0, 0).
    RECT after{};
    ::GetWindowRect(window, &after);
    const LONG style = ::GetWindowLongW(window, GWL_STYLE);
    HWND owner = ::GetWindow(window, GW_OWNER);
    if (!(style & (WS_VISIBLE | WS_CHILD)) && after.left == before.left &&
        after.top == before.top && (owner == nullptr || !::IsWindowEnabled(owner))) {
      CentreDialog(window);
    }
  }
  if (handled) {
    switch (message) {
      case WM_INITDIALOG:     // TRUE: the system sets the focus
      case WM_QUERYDRAGICON:  // the icon handle
        return result;
      case WM_PAINT:
        return TRUE;
      default:
        // Everything else returns its value through the dialog's message result.
        ::SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
  }
  // The framework's default OnOK and OnCancel: Enter, Escape, the close box and the system menu
  // end the dialog.
  if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED &&
      (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    ::EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

class Win32PaintSession : public PaintSession {
 public:
  explicit Win32PaintSession(HWND window) : m_window(window) {
    m_dc = ::BeginPaint(window, &m_paint);
  }
  ~Win32PaintSession() override { ::EndPaint(m_window, &m_paint); }
  Win32PaintSession(const Win32PaintSession&) = delete;
  Win32PaintSession& operator=(const Win32PaintSession&) = delete;

  std::uintptr_t DeviceContext() override { return reinterpret_cast<std::uintptr_t>(m_dc); }
  int SystemMetric(std::uint32_t index) override {
    return ::GetSystemMetrics(static_cast<int>(index));
  }
  Size ClientSize() override {
    RECT client{};
    ::GetClientRect(m_window, &client);
    return {client.right - client.left, client.bottom - client.top};
  }
  void DrawIcon(int x, int y, IconHandle icon) override {
    ::DrawIcon(m_dc, x, y, static_cast<HICON>(icon));
  }

 private:
  HWND m_window;
  PAINTSTRUCT m_paint{};
  HDC m_dc = nullptr;
};

// Threads started for the shell own their body. The update worker shows the open-file dialog,
// whose shell parts need COM in a single-threaded apartment.
DWORD WINAPI ThreadMain(void* parameter) {
  std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(parameter));
  const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  (*body)();
  if (SUCCEEDED(com)) ::CoUninitialize();
  return 0;
}

// Big enough for any path the system can give back; the framework's own buffer is MAX_PATH.
constexpr std::size_t kFileNameChars = 32768;
// GetCurrentDirectoryW never returns more than a long path; a larger buffer changes nothing.
constexpr std::size_t kMaxDirectoryBuffer = 65536;

}  // namespace

std::intptr_t Win32WindowSystem::RunModal(CDialog& dialog, int templateId, NativeWindow parent) {
  return ::DialogBoxParamW(ProgramModule(), MAKEINTRESOURCEW(templateId), ToHwnd(parent),
                           DialogProc, reinterpret_cast<LPARAM>(&dialog));
}

NativeWindow Win32WindowSystem::GetDlgItem(NativeWindow dialog, int id) {
  return ::GetDlgItem(ToHwnd(dialog), id);
}

void Win32WindowSystem::SetWindowText(NativeWindow window, const std::wstring& text) {
  ::SetWindowTextW(ToHwnd(window), text.c_str());
}

bool Win32WindowSystem::EnableWindow(NativeWindow window, bool enable) {
  return ::EnableWindow(ToHwnd(window), enable ? TRUE : FALSE) != FALSE;
}

bool Win32WindowSystem::ShowWindow(NativeWindow window, int command) {
  return ::ShowWindow(ToHwnd(window), command) != FALSE;
}

std::intptr_t Win32WindowSystem::SendMessage(NativeWindow window, std::uint32_t message,
                                             std::uintptr_t wParam, std::intptr_t lParam) {
  return ::SendMessageW(ToHwnd(window), message, wParam, lParam);
}

bool Win32WindowSystem::PostMessage(NativeWindow window, std::uint32_t message,
                                    std::uintptr_t wParam, std::intptr_t lParam) {
  return ::PostMessageW(ToHwnd(window), message, wParam, lParam) != FALSE;
}

bool Win32WindowSystem::IsIconic(NativeWindow window) {
  return ::IsIconic(ToHwnd(window)) != FALSE;
}

std::unique_ptr<PaintSession> Win32WindowSystem::BeginPaint(NativeWindow window) {
  return std::make_unique<Win32PaintSession>(ToHwnd(window));
}

void Win32WindowSystem::DefaultPaint(NativeWindow window) {
  // Painting validates the update region; the dialog's background and controls paint themselves.
  PAINTSTRUCT paint{};
  ::BeginPaint(ToHwnd(window), &paint);
  ::EndPaint(ToHwnd(window), &paint);
}

IconHandle Win32WindowSystem::LoadIcon(int resourceId) {
  return ::LoadIconW(ProgramModule(), MAKEINTRESOURCEW(resourceId));
}

std::wstring Win32WindowSystem::LoadString(std::uint32_t resourceId) {
  HMODULE module = ProgramModule();
  // Strings are stored in blocks of 16; without the block there is no entry to load.
  if (::FindResourceW(module, MAKEINTRESOURCEW(resourceId / 16 + 1), RT_STRING) == nullptr) {
    return {};
  }
  // With a zero buffer size LoadStringW hands out the entry in place, with its exact length.
  const wchar_t* text = nullptr;
  const int length = ::LoadStringW(module, resourceId, reinterpret_cast<LPWSTR>(&text), 0);
  if (length <= 0 || text == nullptr) return {};
  return std::wstring(text, static_cast<std::size_t>(length));
}

std::uint16_t Win32WindowSystem::GetUserDefaultUILanguage() { return ::GetUserDefaultUILanguage(); }

// The program file's name without its extension: the caption of a box given none.
static std::wstring AppName() {
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return {};
    if (length < buffer.size()) {
      buffer.resize(length);
      break;
    }
    if (buffer.size() >= kFileNameChars) return {};
    buffer.resize(buffer.size() * 2);
  }
  std::wstring name(buffer.begin(), buffer.end());
  const std::size_t slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const std::size_t dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  return name;
}

int Win32WindowSystem::MessageBox(NativeWindow owner, const std::wstring& text,
                                  const std::wstring* caption, std::uint32_t type) {
  const std::wstring shownCaption = caption != nullptr ? *caption : AppName();
  return ::MessageBoxW(ToHwnd(owner), text.c_str(), shownCaption.c_str(), type);
}

bool Win32WindowSystem::GetOpenFileName(NativeWindow owner, const OpenFileRequest& request,
                                        std::wstring& path) {
  // The framework's filter separates its strings with '|'; the dialog wants NULs.
  std::wstring filter = request.filter;
  std::replace(filter.begin(), filter.end(), L'|', L'\0');

  std::vector<wchar_t> file(kFileNameChars, L'\0');  // no initial file name

  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = ToHwnd(owner);
  dialog.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir =
      request.initialDirectory.empty() ? nullptr : request.initialDirectory.c_str();
  dialog.lpstrDefExt =
      request.defaultExtension.empty() ? nullptr : request.defaultExtension.c_str();
  dialog.Flags = request.flags;
  if (!::GetOpenFileNameW(&dialog)) return false;
  path = file.data();
  return true;
}

std::wstring Win32WindowSystem::GetCurrentDirectory(std::size_t bufferChars) {
  bufferChars = std::min(bufferChars, kMaxDirectoryBuffer);
  std::vector<wchar_t> buffer(bufferChars + 1);
  // The result counts the terminating NUL when the buffer is too short, so length < size means
  // the directory fitted.
  const DWORD length = ::GetCurrentDirectoryW(static_cast<DWORD>(bufferChars), buffer.data());
  if (length == 0 || length >= bufferChars) return {};
  return std::wstring(buffer.data(), length);
}

bool Win32WindowSystem::StartThread(std::function<void()> body) {
  auto payload = std::make_unique<std::function<void()>>(std::move(body));
  HANDLE thread = ::CreateThread(nullptr, 0, ThreadMain, payload.get(), 0, nullptr);
  if (thread == nullptr) return false;
  payload.release();  // now owned by ThreadMain
  ::CloseHandle(thread);
  return true;
}

void Win32WindowSystem::Sleep(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

std::uint64_t Win32WindowSystem::TickCount() { return ::GetTickCount64(); }

}  // namespace kestro::win32
