// startwatch: starts a program and times it to its first visible top-level window, then closes
// it; or, for a console program, to its end; repeated, with the median. Under Wine both the
// program and this watch run in the same prefix, so Wine's own process start is in every figure
// alike.
//   startwatch PROGRAM RUNS                   to the window
//   startwatch --exit PROGRAM RUNS [ARGUMENT]  to the end, its output thrown away
// Prints "run=N ms=X" per run and "median_ms=X".
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD kWindowWaitMs = 30000;
constexpr DWORD kExitWaitMs = 10000;

struct Search {
  DWORD process;
  HWND found;
};

HWND VisibleWindowOf(DWORD process) {
  Search search{process, nullptr};
  EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto* s = reinterpret_cast<Search*>(parameter);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s->process || !IsWindowVisible(window)) return TRUE;
        s->found = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Milliseconds to the program's end, its standard streams on NUL; negative when it did not start.
double TimeOneRun(const std::wstring& program, const std::wstring& argument) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  std::wstring commandLine = L"\"" + program + L"\"";
  if (!argument.empty()) commandLine += L" " + argument;
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE null =
      CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = startup.hStdOutput = startup.hStdError = null;
  PROCESS_INFORMATION process{};
  QueryPerformanceCounter(&start);
  const BOOL started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                      nullptr, nullptr, &startup, &process);
  CloseHandle(null);
  if (!started) return -1;
  WaitForSingleObject(process.hProcess, kWindowWaitMs);
  QueryPerformanceCounter(&now);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart;
}

// Milliseconds to the first visible window; negative when none came.
double TimeOneStart(const std::wstring& program) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start;
  LARGE_INTEGER now;
  QueryPerformanceFrequency(&frequency);
  std::wstring commandLine = L"\"" + program + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  QueryPerformanceCounter(&start);
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  HWND window = nullptr;
  const DWORD begun = GetTickCount();
  while ((window = VisibleWindowOf(process.dwProcessId)) == nullptr &&
         GetTickCount() - begun < kWindowWaitMs) {
    Sleep(1);
  }
  QueryPerformanceCounter(&now);
  const double ms =
      window ? 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / frequency.QuadPart
             : -1;
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process.hProcess, kExitWaitMs) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ms;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const bool toExit = argc >= 2 && std::wcscmp(argv[1], L"--exit") == 0;
  const int first = toExit ? 2 : 1;
  if (argc < first + 2 || argc > first + 2 + (toExit ? 1 : 0)) {
    std::fputs("usage: startwatch [--exit] PROGRAM RUNS [ARGUMENT]\n", stderr);
    return 2;
  }
  const std::wstring program = argv[first];
  const std::wstring argument = argc > first + 2 ? argv[first + 2] : L"";
  const int runs = std::max(1, _wtoi(argv[first + 1]));
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const double ms = toExit ? TimeOneRun(program, argument) : TimeOneStart(program);
    std::printf("run=%d ms=%.1f\n", run, ms);
    if (ms < 0) return 1;
    times.push_back(ms);
  }
  std::sort(times.begin(), times.end());
  const double median = times.size() % 2
                            ? times[times.size() / 2]
                            : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
  std::printf("median_ms=%.1f\n", median);
  return 0;
}
