// Test equipment, never shipped: a hid.dll such as anyone could leave beside the program in a
// Downloads folder. Whatever process loads it gets a marker file beside it (planted-hid-ran.txt,
// naming that process), the proof that code planted there ran. Its functions hand each call on
// to the system's own hid.dll, so that a program that loads it works as before and only the
// marker tells.
#include <windows.h>

static const wchar_t kMarkerName[] = L"planted-hid-ran.txt";

static void WriteMarker(HMODULE self) {
  wchar_t path[MAX_PATH + 32];
  const DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  DWORD nameStart = length;
  while (nameStart > 0 && path[nameStart - 1] != L'\\') --nameStart;
  lstrcpyW(path + nameStart, kMarkerName);

  wchar_t loader[MAX_PATH];
  const DWORD loaderLength = GetModuleFileNameW(NULL, loader, MAX_PATH);
  char text[4 * MAX_PATH];
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, loader, (int)loaderLength, text,
                                        (int)sizeof text, NULL, NULL);
  HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, bytes > 0 ? (DWORD)bytes : 0, &written, NULL);
  CloseHandle(file);
}

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) WriteMarker(self);
  return TRUE;
}

// The system's hid.dll, by its full path: by name alone the loader would hand back this very
// module, which already has that name.
static FARPROC RealFunction(const char* name) {
  static HMODULE real;
  if (real == NULL) {
    wchar_t path[MAX_PATH + 16];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return NULL;
    lstrcatW(path, L"\\hid.dll");
    real = LoadLibraryW(path);
    if (real == NULL) return NULL;
  }
  return GetProcAddress(real, name);
}

// The functions the updater has imported; their types as in hidsdi.h, which is not included
// because it declares them as imports.
typedef void(WINAPI* GetHidGuidFunction)(GUID*);
typedef BOOLEAN(WINAPI* GetAttributesFunction)(HANDLE, void*);

__declspec(dllexport) void WINAPI HidD_GetHidGuid(GUID* guid) {
  GetHidGuidFunction real = (GetHidGuidFunction)(void (*)(void))RealFunction("HidD_GetHidGuid");
  if (real != NULL) {
    real(guid);
  } else {
    ZeroMemory(guid, sizeof *guid);
  }
}

__declspec(dllexport) BOOLEAN WINAPI HidD_GetAttributes(HANDLE device, void* attributes) {
  GetAttributesFunction real =
      (GetAttributesFunction)(void (*)(void))RealFunction("HidD_GetAttributes");
  return real != NULL && real(device, attributes);
}
