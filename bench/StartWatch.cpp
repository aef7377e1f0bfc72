// startwatch: starts a program and times it to its first visible top-level window, then closes
// it; repeated, with the median. Under Wine both the program and this watch run in the same
// prefix, so Wine's own process start is in every figure alike.
//   startwatch PROGRAM RUNS      prints "run=N ms=X" per run and "median_ms=X"
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
  if (argc != 3) {
    std::fputs("usage: startwatch PROGRAM RUNS\n", stderr);
    return 2;
  }
  const int runs = std::max(1, _wtoi(argv[2]));
  std::vector<double> times;
  for (int run = 0; run < runs; ++run) {
    const double ms = TimeOneStart(argv[1]);
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
