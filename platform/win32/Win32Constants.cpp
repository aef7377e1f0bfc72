// Compile-time check that the message and control values the portable framework uses are the
// ones the Windows SDK defines. Nothing here runs.
#include <cstddef>
#include <cstdint>
#include <iterator>

#include "platform/HidPort.h"
#include "platform/WindowSystem.h"
#include "platform/WindowsValues.h"

// Each entry: the framework's name in kestro::win, and the SDK expression for the same value.
// The list is expanded once before <windows.h> (where the names are not yet macros) and once
// after it (where the SDK expressions are).
#define KESTRO_CHECKED_CONSTANTS(X)                     \
  X(WM_PAINT, WM_PAINT)                                 \
  X(WM_ICONERASEBKGND, WM_ICONERASEBKGND)               \
  X(WM_QUERYDRAGICON, WM_QUERYDRAGICON)                 \
  X(WM_SETICON, WM_SETICON)                             \
  X(WM_INITDIALOG, WM_INITDIALOG)                       \
  X(WM_COMMAND, WM_COMMAND)                             \
  X(WM_DEVICECHANGE, WM_DEVICECHANGE)                   \
  X(BN_CLICKED, BN_CLICKED)                             \
  X(PBM_SETRANGE, PBM_SETRANGE)                         \
  X(PBM_SETPOS, PBM_SETPOS)                             \
  X(PBM_GETPOS, PBM_GETPOS)                             \
  X(ICON_SMALL, ICON_SMALL)                             \
  X(ICON_BIG, ICON_BIG)                                 \
  X(SW_HIDE, SW_HIDE)                                   \
  X(SW_SHOW, SW_SHOW)                                   \
  X(MB_OK, MB_OK)                                       \
  X(MB_OKCANCEL, MB_OKCANCEL)                           \
  X(IDOK, IDOK)                                         \
  X(IDCANCEL, IDCANCEL)                                 \
  X(OFN_OVERWRITEPROMPT, OFN_OVERWRITEPROMPT)           \
  X(OFN_HIDEREADONLY, OFN_HIDEREADONLY)                 \
  X(DBT_DEVNODES_CHANGED, DBT_DEVNODES_CHANGED)         \
  X(DBT_DEVICEARRIVAL, DBT_DEVICEARRIVAL)               \
  X(DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEREMOVECOMPLETE) \
  X(SM_CXICON, SM_CXICON)                               \
  X(SM_CYICON, SM_CYICON)                               \
  X(LANG_ZH_CN, MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED))

namespace {
#define KESTRO_FRAMEWORK_VALUE(name, sdk) static_cast<std::int64_t>(kestro::win::name),
constexpr std::int64_t kFrameworkValues[] = {KESTRO_CHECKED_CONSTANTS(KESTRO_FRAMEWORK_VALUE)};
#undef KESTRO_FRAMEWORK_VALUE
}  // namespace

#include "platform/win32/Win32Api.h"

namespace {
#define KESTRO_SDK_VALUE(name, sdk) static_cast<std::int64_t>(sdk),
constexpr std::int64_t kSdkValues[] = {KESTRO_CHECKED_CONSTANTS(KESTRO_SDK_VALUE)};
#undef KESTRO_SDK_VALUE

// The position of the first value that differs, or -1.
consteval int FirstMismatch() {
  for (std::size_t i = 0; i < std::size(kFrameworkValues); ++i) {
    if (kFrameworkValues[i] != kSdkValues[i]) return static_cast<int>(i);
  }
  return -1;
}
static_assert(std::size(kFrameworkValues) == std::size(kSdkValues));
static_assert(FirstMismatch() == -1, "a kestro::win constant differs from the SDK's value");

// The window and notification handles cross the seam as void*.
static_assert(sizeof(kestro::NativeWindow) == sizeof(HWND));
static_assert(sizeof(kestro::NotifyRegistration) == sizeof(HDEVNOTIFY));
static_assert(sizeof(kestro::IconHandle) == sizeof(HICON));
// Device handles cross the port as integers; INVALID_HANDLE_VALUE is -1 like kNoHandle.
static_assert(sizeof(kestro::PortHandle) >= sizeof(HANDLE));
static_assert(kestro::kWaitReceived == WAIT_OBJECT_0);
static_assert(kestro::kWaitNotOpen == WAIT_ABANDONED);
static_assert(kestro::kWaitTimeout == WAIT_TIMEOUT);
static_assert(kestro::kWaitReadFailed == WAIT_FAILED);
}  // namespace
