// uidriver: drives the updater's windows from outside, the way a user would, for the end-to-end
// tests. It finds the main dialog, reads its state, presses its button, fills in the open-file
// dialog and answers message boxes. Output is one "key=value" line per fact, UTF-8, with
// backslash, CR and LF escaped so that each value stays on one line. Exit code 0 when the
// subcommand did what it was asked, 1 when it timed out or found nothing, 2 on a usage error.
#include <windows.h>
// after windows.h, which it needs
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "Utf8.h"
#include "res/resource.h"

namespace {

// Control id -1: a DIALOGEX template keeps it as -1, a message box's text static has 0xFFFF.
constexpr int kStaticMinusOne = -1;
constexpr int kStaticMinusOne16 = 0xFFFF;
constexpr int kFileNameEdit = 0x480;   // edt1 of the open-file dialog
constexpr int kFileNameCombo = 0x47C;  // cmb13, the explorer-style file name box
constexpr DWORD kPollMs = 20;
// A window call into a busy UI thread (a version query runs there) waits at most this long.
constexpr UINT kSendTimeoutMs = 2000;

std::wstring Escape(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c == L'\\') {
      out += L"\\\\";
    } else if (c == L'\r') {
      out += L"\\r";
    } else if (c == L'\n') {
      out += L"\\n";
    } else {
      out += c;
    }
  }
  return out;
}

void Print(const char* key, const std::wstring& value) {
  std::string line = std::string(key) + "=" + Utf8(Escape(value)) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void Print(const char* key, long long value) { Print(key, std::to_wstring(value)); }

// The window's own text; for another process's window this reads the stored text and does not
// wait for the window's thread.
std::wstring TextOf(HWND window) {
  if (!window) return {};
  wchar_t buffer[4096] = {};
  GetWindowTextW(window, buffer, static_cast<int>(std::size(buffer)));
  return buffer;
}

std::wstring ClassOf(HWND window) {
  wchar_t buffer[256] = {};
  GetClassNameW(window, buffer, static_cast<int>(std::size(buffer)));
  return buffer;
}

HWND StaticMinusOne(HWND dialog) {
  HWND label = GetDlgItem(dialog, kStaticMinusOne);
  return label ? label : GetDlgItem(dialog, kStaticMinusOne16);
}

// The first Edit among all descendants (Wine's file name box is an Edit in a ComboBox in a
// ComboBoxEx32).
HWND FindEdit(HWND parent) {
  HWND found = nullptr;
  EnumChildWindows(
      parent,
      [](HWND window, LPARAM result) -> BOOL {
        wchar_t name[32] = {};
        GetClassNameW(window, name, static_cast<int>(std::size(name)));
        if (std::wcscmp(name, L"Edit") != 0) return TRUE;
        *reinterpret_cast<HWND*>(result) = window;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

bool IsDialog(HWND window) { return ClassOf(window) == L"#32770"; }

bool IsMainDialog(HWND window) {
  return IsDialog(window) && GetDlgItem(window, IDC_UPDATE_BUTTON) &&
         GetDlgItem(window, IDC_PROGRESS);
}

bool IsFileDialog(HWND window) {
  return IsDialog(window) && !IsMainDialog(window) &&
         (GetDlgItem(window, kFileNameEdit) || GetDlgItem(window, kFileNameCombo));
}

bool IsMessageBox(HWND window) {
  return IsDialog(window) && !IsMainDialog(window) && !IsFileDialog(window) &&
         StaticMinusOne(window);
}

std::vector<HWND> TopLevelWindows() {
  std::vector<HWND> windows;
  EnumWindows(
      [](HWND window, LPARAM list) -> BOOL {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&windows));
  return windows;
}

HWND FindMainDialog(bool visibleOnly) {
  for (HWND window : TopLevelWindows()) {
    if ((!visibleOnly || IsWindowVisible(window)) && IsMainDialog(window)) return window;
  }
  return nullptr;
}

HWND FindMainDialog() { return FindMainDialog(true); }

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

// A window of the program's own besides the main dialog: owned by it or of the same process.
// The main dialog may still be invisible: a start-up version query shows its boxes from inside
// the dialog's initialisation.
HWND FindProgramWindow(bool (*kind)(HWND)) {
  HWND main = FindMainDialog(false);
  if (!main) return nullptr;
  DWORD process = ProcessOf(main);
  for (HWND window : TopLevelWindows()) {
    if (window == main || !IsWindowVisible(window) || !kind(window)) continue;
    if (GetWindow(window, GW_OWNER) == main || ProcessOf(window) == process) return window;
  }
  return nullptr;
}

// Polls `done` until it holds or the time-out passes; true when it held.
template <typename Done>
bool WaitUntil(Done done, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(kPollMs);
  }
  return true;
}

// The window `find` gives, polled for until the time-out passes; nullptr when none came.
template <typename Find>
HWND WaitFor(Find find, DWORD timeoutMs) {
  HWND window = nullptr;
  WaitUntil([&] { return (window = find()) != nullptr; }, timeoutMs);
  return window;
}

bool WaitClosed(HWND window, DWORD timeoutMs) {
  return WaitUntil([&] { return !IsWindow(window) || !IsWindowVisible(window); }, timeoutMs);
}

// -1 when the progress bar does not answer in time.
long long ProgressOf(HWND dialog) {
  DWORD_PTR position = 0;
  if (!SendMessageTimeoutW(GetDlgItem(dialog, IDC_PROGRESS), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG,
                           kSendTimeoutMs, &position)) {
    return -1;
  }
  return static_cast<long long>(position);
}

struct Fact {
  const char* key;
  std::wstring value;
};

std::vector<Fact> StateOf(HWND dialog) {
  HWND successLabel = StaticMinusOne(dialog);
  return {
      {"title", TextOf(dialog)},
      {"button", TextOf(GetDlgItem(dialog, IDC_UPDATE_BUTTON))},
      {"enabled", IsWindowEnabled(GetDlgItem(dialog, IDC_UPDATE_BUTTON)) ? L"1" : L"0"},
      {"success_visible", (successLabel && IsWindowVisible(successLabel)) ? L"1" : L"0"},
      {"success_text", TextOf(successLabel)},
      {"instructions", TextOf(GetDlgItem(dialog, IDC_INSTRUCTIONS))},
      {"progress", std::to_wstring(ProgressOf(dialog))},
  };
}

void PrintState(HWND dialog) {
  for (const Fact& fact : StateOf(dialog)) Print(fact.key, fact.value);
}

DWORD ParseMs(const wchar_t* text) { return static_cast<DWORD>(std::wcstoul(text, nullptr, 10)); }

int Usage() {
  std::fputs(
      "usage: uidriver state [TIMEOUT_MS]\n"
      "       uidriver wait-title PREFIX TIMEOUT_MS\n"
      "       uidriver wait-enabled 0|1 TIMEOUT_MS\n"
      "       uidriver wait-state KEY VALUE TIMEOUT_MS   (KEY as printed by state)\n"
      "       uidriver press [TIMEOUT_MS]\n"
      "       uidriver filedialog WINDOWS_PATH TIMEOUT_MS\n"
      "       uidriver msgbox TIMEOUT_MS ok|cancel|none   (none: report it, leave it open)\n"
      "       uidriver no-msgbox MS\n"
      "       uidriver progress-watch TIMEOUT_MS\n"
      "       uidriver close TIMEOUT_MS\n",
      stderr);
  return 2;
}

HWND MainOrComplain(DWORD timeoutMs) {
  HWND dialog = WaitFor([] { return FindMainDialog(); }, timeoutMs);
  if (!dialog) Print("error", L"main dialog not found");
  return dialog;
}

int State(DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  PrintState(dialog);
  return 0;
}

int WaitTitle(const std::wstring& prefix, DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  const bool arrived = WaitUntil([&] { return TextOf(dialog).rfind(prefix, 0) == 0; }, timeoutMs);
  Print("title", TextOf(dialog));
  if (!arrived) Print("error", L"title did not arrive");
  return arrived ? 0 : 1;
}

// Waits until the state's KEY has VALUE; prints the whole state either way.
int WaitState(const std::wstring& key, const std::wstring& value, DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  const bool arrived = WaitUntil(
      [&] {
        for (const Fact& fact : StateOf(dialog)) {
          if (key == std::wstring(fact.key, fact.key + std::strlen(fact.key))) {
            return fact.value == value;
          }
        }
        return false;
      },
      timeoutMs);
  PrintState(dialog);
  if (!arrived) Print("error", L"state did not arrive");
  return arrived ? 0 : 1;
}

int Press(DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  HWND button = GetDlgItem(dialog, IDC_UPDATE_BUTTON);
  // A user cannot press a disabled button; a posted WM_COMMAND would get through regardless.
  if (!IsWindowEnabled(button)) {
    Print("error", L"button disabled");
    return 1;
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDC_UPDATE_BUTTON, BN_CLICKED),
               reinterpret_cast<LPARAM>(button));
  Print("pressed", 1);
  return 0;
}

int FileDialog(const std::wstring& path, DWORD timeoutMs) {
  HWND dialog = WaitFor([] { return FindProgramWindow(IsFileDialog); }, timeoutMs);
  if (!dialog) {
    Print("error", L"file dialog not found");
    return 1;
  }
  Print("filedialog_title", TextOf(dialog));
  HWND edit = nullptr;
  if (HWND combo = GetDlgItem(dialog, kFileNameCombo)) edit = FindEdit(combo);
  if (!edit) edit = GetDlgItem(dialog, kFileNameEdit);
  if (!edit) {
    Print("error", L"file name box not found");
    return 1;
  }
  DWORD_PTR result = 0;
  if (!SendMessageTimeoutW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()),
                           SMTO_ABORTIFHUNG, kSendTimeoutMs, &result) ||
      result != TRUE) {
    Print("error", L"file name not set");
    return 1;
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDOK)));
  if (!WaitClosed(dialog, timeoutMs)) {
    Print("error", L"file dialog stayed open");
    return 1;
  }
  Print("filedialog", L"closed");
  return 0;
}

int MessageBoxAnswer(DWORD timeoutMs, const std::wstring& answer) {
  if (answer != L"ok" && answer != L"cancel" && answer != L"none") return Usage();
  HWND box = WaitFor([] { return FindProgramWindow(IsMessageBox); }, timeoutMs);
  if (!box) {
    Print("error", L"message box not found");
    return 1;
  }
  Print("caption", TextOf(box));
  Print("text", TextOf(StaticMinusOne(box)));
  Print("has_cancel", GetDlgItem(box, IDCANCEL) ? 1 : 0);
  if (answer == L"none") {
    Print("msgbox", L"open");
    return 0;
  }
  int button = answer == L"ok" ? IDOK : IDCANCEL;
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, button)));
  if (!WaitClosed(box, timeoutMs)) {
    Print("error", L"message box stayed open");
    return 1;
  }
  Print("msgbox", L"closed");
  return 0;
}

int NoMessageBox(DWORD ms) {
  HWND box = WaitFor([] { return FindProgramWindow(IsMessageBox); }, ms);
  if (box) {
    Print("caption", TextOf(box));
    Print("text", TextOf(StaticMinusOne(box)));
    return 1;
  }
  Print("msgbox", L"none");
  return 0;
}

int ProgressWatch(DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  long long last = -2;
  auto printIfMoved = [&] {
    const long long position = ProgressOf(dialog);
    if (position != last && position >= 0) {
      Print("progress", position);
      last = position;
    }
  };
  const bool boxed = WaitUntil(
      [&] {
        printIfMoved();
        return FindProgramWindow(IsMessageBox) != nullptr;
      },
      timeoutMs);
  // Once more: the position the bar held when the box came, which may have been set after the
  // last look.
  if (boxed) printIfMoved();
  Print("progress_watch", boxed ? L"box" : L"timeout");
  return boxed ? 0 : 1;
}

int Close(DWORD timeoutMs) {
  HWND dialog = MainOrComplain(timeoutMs);
  if (!dialog) return 1;
  // WM_CLOSE rather than SC_CLOSE: a dialog disabled by an open file dialog or message box
  // ignores the system command, and the tests must be able to end the program in any state.
  PostMessageW(dialog, WM_CLOSE, 0, 0);
  if (!WaitClosed(dialog, timeoutMs)) {
    Print("error", L"dialog stayed open");
    return 1;
  }
  Print("closed", 1);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  std::wstring command = argv[1];
  if (command == L"state") return State(argc > 2 ? ParseMs(argv[2]) : 10000);
  if (command == L"wait-title" && argc == 4) return WaitTitle(argv[2], ParseMs(argv[3]));
  if (command == L"wait-enabled" && argc == 4)
    return WaitState(L"enabled", argv[2], ParseMs(argv[3]));
  if (command == L"wait-state" && argc == 5) return WaitState(argv[2], argv[3], ParseMs(argv[4]));
  if (command == L"press") return Press(argc > 2 ? ParseMs(argv[2]) : 10000);
  if (command == L"filedialog" && argc == 4) return FileDialog(argv[2], ParseMs(argv[3]));
  if (command == L"msgbox" && argc == 4) return MessageBoxAnswer(ParseMs(argv[2]), argv[3]);
  if (command == L"no-msgbox" && argc == 3) return NoMessageBox(ParseMs(argv[2]));
  if (command == L"progress-watch" && argc == 3) return ProgressWatch(ParseMs(argv[2]));
  if (command == L"close" && argc == 3) return Close(ParseMs(argv[2]));
  return Usage();
}
