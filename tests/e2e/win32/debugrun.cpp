// debugrun: runs a program under a minimal debugger and writes every string it passes to
// OutputDebugString into a log file (UTF-8), as it arrives. Wine shows a program's debug output
// to a debugger but not on any console, so this is how the end-to-end tests read diagnostics.
//   debugrun [--timeout SECONDS] LOGFILE PROGRAM [ARGS...]
// Exits with the program's exit code; 3 when it ran longer than the time-out (it is then ended),
// 2 on a usage error, when it cannot be started, or when following it fails.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "Utf8.h"

namespace {

constexpr DWORD kEventWaitMs = 500;
constexpr DWORD kDefaultTimeoutS = 600;
// After ending the program at the time-out, how long its exit may take to be reported.
constexpr ULONGLONG kExitGraceMs = 5000;
// Longer strings are cut; no diagnostic line of the program comes near this.
constexpr SIZE_T kMaxStringChars = 65536;

// The debuggee's string, without its terminating zero.
std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  SIZE_T chars = info.nDebugStringLength;
  if (chars == 0 || !info.lpDebugStringData) return {};
  if (chars > kMaxStringChars) chars = kMaxStringChars;
  SIZE_T got = 0;
  if (info.fUnicode) {
    std::wstring text(chars, L'\0');
    if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), chars * sizeof(wchar_t),
                           &got)) {
      return {};
    }
    text.resize(got / sizeof(wchar_t));
    if (auto end = text.find(L'\0'); end != std::wstring::npos) text.resize(end);
    return Utf8(text);
  }
  std::string text(chars, '\0');
  if (!ReadProcessMemory(process, info.lpDebugStringData, text.data(), chars, &got)) return {};
  text.resize(got);
  if (auto end = text.find('\0'); end != std::string::npos) text.resize(end);
  // The ANSI form comes from the program's code page; make it UTF-8 like the wide form.
  int size = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(size, L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
  return Utf8(wide);
}

std::wstring Quote(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      out.append(backslashes * 2 + 1, L'\\');
    else
      out.append(backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int next = 1;
  DWORD timeoutS = kDefaultTimeoutS;
  if (argc > 2 && std::wcscmp(argv[1], L"--timeout") == 0) {
    timeoutS = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
    next = 3;
  }
  if (argc - next < 2) {
    std::fputs("usage: debugrun [--timeout SECONDS] LOGFILE PROGRAM [ARGS...]\n", stderr);
    return 2;
  }
  FILE* log = _wfopen(argv[next], L"wb");
  if (!log) {
    std::fputs("debugrun: cannot create the log file\n", stderr);
    return 2;
  }
  std::wstring commandLine;
  for (int i = next + 1; i < argc; ++i) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += Quote(argv[i]);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION child{};
  // Wine, just after the previous test ended its server, now and then refuses a debugged start
  // with ERROR_INTERNAL_ERROR; a moment later the same start succeeds.
  constexpr int kStartTries = 3;
  constexpr DWORD kStartRetryMs = 500;
  BOOL started = FALSE;
  for (int attempt = 0; attempt < kStartTries && !started; ++attempt) {
    if (attempt > 0) Sleep(kStartRetryMs);
    started = CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                             DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup, &child);
  }
  if (!started) {
    std::fprintf(stderr, "debugrun: cannot start the program (error %lu)\n", GetLastError());
    std::fclose(log);
    return 2;
  }

  const ULONGLONG deadline = GetTickCount64() + ULONGLONG{timeoutS} * 1000;
  DWORD exitCode = 0;
  bool running = true;
  bool timedOut = false;
  bool debugFailed = false;
  while (running) {
    if (GetTickCount64() >= deadline && !timedOut) {
      timedOut = true;
      TerminateProcess(child.hProcess, 3);
    }
    // An ended program whose exit never shows, or a debug loop that fails, still ends this one.
    if (timedOut && GetTickCount64() >= deadline + kExitGraceMs) break;
    DEBUG_EVENT event{};
    if (!WaitForDebugEvent(&event, kEventWaitMs)) {
      if (GetLastError() == ERROR_SEM_TIMEOUT) continue;
      std::fprintf(stderr, "debugrun: waiting for the program failed (error %lu)\n",
                   GetLastError());
      debugFailed = true;
      break;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        std::string text = ReadDebugString(child.hProcess, event.u.DebugString);
        std::fwrite(text.data(), 1, text.size(), log);
        std::fflush(log);
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The loader's initial breakpoint is ours to swallow; every real exception goes back to
        // the program, which handles it or dies as it would without a debugger.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        exitCode = event.u.ExitProcess.dwExitCode;
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  std::fclose(log);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  if (debugFailed) return 2;
  return timedOut ? 3 : static_cast<int>(exitCode);
}
