#include "cli/System.h"

#include <algorithm>
#include <chrono>

#include "platform/Utf8.h"
#include "platform/win32/PlatformPort.h"

// clang-format off
#include "platform/win32/Win32Api.h"
#include <psapi.h>  // K32GetProcessMemoryInfo, which kernel32 exports
// clang-format on

namespace kestro::cli {
namespace {

// Set when the user presses Ctrl-C, for waits that should end then.
HANDLE InterruptEvent() {
  static const HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// A console program has no window and no message loop for device notifications: the interfaces
// are looked at again this often. One enumeration costs a millisecond or two, and a controller
// is taken a quarter of a second after it appears at the latest.
constexpr std::uint32_t kArrivalPollMs = 250;

}  // namespace

void PrepareProcess() { ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32); }

bool LocaleIsChinese() { return ::GetUserDefaultUILanguage() == 2052; }

std::unique_ptr<HidPort> CreateControllerPort() { return CreatePlatformHidPort(); }

// Windows opens a HID interface for anyone who may see it: there is nothing to advise.
std::vector<DeniedInterface> DeniedInterfaces(HidPort&) { return {}; }
std::string PermissionAdvice() { return "check that no other program holds it"; }

struct ArrivalWatch::State {
  explicit State(HidPort& p) : port(p), last(p.EnumerateInterfaces()) {}
  HidPort& port;
  std::vector<std::wstring> last;
};

ArrivalWatch::ArrivalWatch(HidPort& port) : m_state(std::make_unique<State>(port)) {}
ArrivalWatch::~ArrivalWatch() = default;
bool ArrivalWatch::Ready() const { return true; }

bool ArrivalWatch::WaitForChange(std::uint32_t timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    std::vector<std::wstring> now = m_state->port.EnumerateInterfaces();
    if (now != m_state->last) {
      m_state->last = std::move(now);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    const DWORD wait = static_cast<DWORD>(std::min<long long>(left, kArrivalPollMs));
    if (::WaitForSingleObject(InterruptEvent(), wait) == WAIT_OBJECT_0) {
      ::ResetEvent(InterruptEvent());
      return false;
    }
  }
}

namespace {
void (*g_handler)() = nullptr;
BOOL WINAPI OnControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  ::SetEvent(InterruptEvent());
  if (g_handler != nullptr) g_handler();
  return TRUE;
}
}  // namespace

void CatchInterrupts(void (*handler)()) {
  g_handler = handler;
  ::SetConsoleCtrlHandler(OnControl, TRUE);
}

void EndInterrupted() {
  // What a shell shows for a program the user interrupted.
  ::ExitProcess(130);
}

void InterruptMessage(const std::string& text) {
  const HANDLE handle = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  DWORD written = 0;
  if (::GetConsoleMode(handle, &mode)) {
    const std::wstring wide = FromUtf8(text);
    ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
  } else {
    ::WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

std::string ErrorText(std::uint32_t code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return "error " + std::to_string(code);
  std::wstring wide(text, length);
  ::LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L'.')) {
    wide.pop_back();
  }
  return ToUtf8(wide);
}

unsigned long ProcessId() { return ::GetCurrentProcessId(); }

std::string ProgramPath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return "kestro-update.exe";
    if (length < path.size()) {
      path.resize(length);
      return ToUtf8(path);
    }
    path.resize(path.size() * 2);
  }
}

struct ChildProcess::State {
  PROCESS_INFORMATION process{};
  HANDLE out = nullptr;  // its standard output, read here
  HANDLE in = nullptr;   // its standard input, written here
  std::string buffered;
  std::uint64_t peakKiB = 0;
};

ChildProcess::ChildProcess() : m_state(std::make_unique<State>()) {}

ChildProcess::~ChildProcess() {
  if (m_state->out != nullptr) ::CloseHandle(m_state->out);
  if (m_state->in != nullptr) ::CloseHandle(m_state->in);
  if (m_state->process.hProcess != nullptr) Wait();
}

namespace {

// One argument as the C runtime's parser reads it back.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    if (c == L'"')
      quoted.append(backslashes * 2 + 1, L'\\');
    else
      quoted.append(backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

}  // namespace

bool ChildProcess::Start(const std::vector<std::string>& arguments) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) return false;
  if (!::CreatePipe(&inRead, &inWrite, &inherit, 0)) {
    ::CloseHandle(outRead);
    ::CloseHandle(outWrite);
    return false;
  }
  // Only the child's ends are inherited.
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine;
  for (const std::string& argument : arguments) {
    if (!commandLine.empty()) commandLine += L' ';
    commandLine += Quoted(FromUtf8(argument));
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inRead;
  startup.hStdOutput = outWrite;
  startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
  const std::wstring program = FromUtf8(arguments[0]);
  // A process group of its own: the console's Ctrl-C reaches the parent alone, which decides.
  const BOOL started =
      ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &m_state->process);
  ::CloseHandle(outWrite);
  ::CloseHandle(inRead);
  if (!started) {
    ::CloseHandle(outRead);
    ::CloseHandle(inWrite);
    return false;
  }
  ::CloseHandle(m_state->process.hThread);
  m_state->process.hThread = nullptr;
  m_state->out = outRead;
  m_state->in = inWrite;
  return true;
}

bool ChildProcess::ReadLine(std::string& line) {
  State& state = *m_state;
  for (;;) {
    const std::size_t end = state.buffered.find('\n');
    if (end != std::string::npos) {
      line = state.buffered.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      state.buffered.erase(0, end + 1);
      return true;
    }
    char chunk[4096];
    DWORD got = 0;
    if (state.out == nullptr || !::ReadFile(state.out, chunk, sizeof chunk, &got, nullptr) ||
        got == 0) {
      if (state.buffered.empty()) return false;
      line = std::move(state.buffered);
      state.buffered.clear();
      return true;
    }
    state.buffered.append(chunk, got);
  }
}

void ChildProcess::WriteLine(const std::string& line) {
  if (m_state->in == nullptr) return;
  const std::string text = line + "\n";
  DWORD written = 0;
  ::WriteFile(m_state->in, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

int ChildProcess::Wait() {
  State& state = *m_state;
  if (state.process.hProcess == nullptr) return -1;
  ::WaitForSingleObject(state.process.hProcess, INFINITE);
  DWORD code = 0;
  const bool known = ::GetExitCodeProcess(state.process.hProcess, &code);
  PROCESS_MEMORY_COUNTERS counters{};
  if (::K32GetProcessMemoryInfo(state.process.hProcess, &counters, sizeof counters)) {
    state.peakKiB = counters.PeakWorkingSetSize / 1024;
  }
  ::CloseHandle(state.process.hProcess);
  state.process.hProcess = nullptr;
  return known ? static_cast<int>(code) : -1;
}

std::uint64_t ChildProcess::PeakMemoryKiB() const { return m_state->peakKiB; }

}  // namespace kestro::cli
