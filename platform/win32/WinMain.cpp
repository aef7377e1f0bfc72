// The program's entry point: sets up the platform below the portable code and runs the
// application object.
#include "app/UpdateApp.h"
#include "platform/Diagnostics.h"
#include "platform/HidPort.h"
#include "platform/win32/PlatformPort.h"
#include "platform/win32/Win32WindowSystem.h"

// The SDK headers come last (see Win32Api.h).
// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // Before anything can load a DLL: whatever is loaded from here on without a path (by the
  // program, or by a system DLL such as comdlg32 on its behalf) comes from the system folder,
  // never from the program's folder or the current one, where anyone may have left a DLL of the
  // same name. The program's own imports are all KnownDLLs or redirected by the manifest.
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  INITCOMMONCONTROLSEX controls{};
  controls.dwSize = sizeof(controls);
  controls.dwICC = ICC_PROGRESS_CLASS;
  ::InitCommonControlsEx(&controls);

  kestro::SetDiagnosticSink([](const std::wstring& text) { ::OutputDebugStringW(text.c_str()); });

  // Neither is ever destroyed: an update worker may still be using them while the process ends
  // (nothing waits for it), and the system releases whatever the port holds.
  auto* system = new kestro::win32::Win32WindowSystem;
  kestro::HidPort* port = CreatePlatformHidPort().release();
  kestro::theApp.UsePlatform(*system, *port);
  kestro::theApp.InitInstance();
  return 0;
}
