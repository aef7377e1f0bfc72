// The window framework double for native tests: every window is a record of its state, message
// boxes and file dialogs are answered from a script, and time is virtual.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Framework.h"
#include "platform/WindowSystem.h"
#include "platform/headless/VirtualClock.h"

namespace kestro::headless {

struct WindowState {
  int id = 0;
  std::wstring text;
  bool enabled = true;
  bool visible = true;
  std::intptr_t progressPosition = 0;
  std::intptr_t progressRange = 0;
  std::vector<std::uintptr_t> icons;  // WM_SETICON kinds received
};

struct MessageBoxCall {
  std::wstring text;
  bool hasCaption = false;
  std::wstring caption;  // as shown: the application's name when none was given
  std::uint32_t type = 0;
};

class HeadlessWindowSystem : public WindowSystem {
 public:
  explicit HeadlessWindowSystem(VirtualClock& clock) : m_clock(clock) {}
  ~HeadlessWindowSystem() override;

  // --- scripting and looking on (tests) ---
  // Creates the dialog's windows and sends WM_INITDIALOG, as RunModal does, without a loop.
  void CreateDialog(CDialog& dialog);
  // Delivers one message to the dialog on the calling thread (the test is the UI thread).
  std::intptr_t Deliver(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);
  // Waits (real time, bounded) until every thread started through StartThread has ended.
  bool JoinThreads(int timeoutMs = 20000);
  // Delivers the messages posted to the dialog so far, in order, on the calling thread (the
  // modal loop's part); returns how many.
  int DeliverPosted();
  // Runs thread bodies on the starting thread, to their end, before StartThread returns.
  bool runThreadsInline = false;
  WindowState Dialog() const;
  WindowState Control(int id) const;
  std::vector<MessageBoxCall> MessageBoxes() const;
  std::vector<OpenFileRequest> FileDialogs() const;
  // Every PBM_SETPOS position given to the progress bar, in order.
  std::vector<std::intptr_t> ProgressPositions() const;
  std::vector<std::wstring> Titles() const;  // every title set on the dialog, in order

  std::function<int(const MessageBoxCall&)> onMessageBox;                   // default: IDOK
  std::function<bool(const OpenFileRequest&, std::wstring&)> onFileDialog;  // default: cancel
  // Runs on the starting thread just before a thread starts: what happens between a press and
  // the worker's first step.
  std::function<void()> beforeThreadStarts;
  std::uint16_t uiLanguage = 1033;
  std::wstring appName = L"KestroUpdate";
  std::wstring currentDirectory = L"/tmp";
  std::map<std::uint32_t, std::wstring> stringOverrides;  // replaces or (empty) removes entries
  bool iconic = false;
  Size clientSize{100, 100};
  // Paint calls of a minimised window: (x, y) of each DrawIcon.
  std::vector<std::pair<int, int>> drawnIcons;
  bool failThreadStart = false;

  // --- WindowSystem ---
  std::intptr_t RunModal(CDialog& dialog, int templateId, NativeWindow parent) override;
  NativeWindow GetDlgItem(NativeWindow dialog, int id) override;
  void SetWindowText(NativeWindow window, const std::wstring& text) override;
  bool EnableWindow(NativeWindow window, bool enable) override;
  bool ShowWindow(NativeWindow window, int command) override;
  std::intptr_t SendMessage(NativeWindow window, std::uint32_t message, std::uintptr_t wParam,
                            std::intptr_t lParam) override;
  bool PostMessage(NativeWindow window, std::uint32_t message, std::uintptr_t wParam,
                   std::intptr_t lParam) override;
  bool IsIconic(NativeWindow window) override;
  std::unique_ptr<PaintSession> BeginPaint(NativeWindow window) override;
  void DefaultPaint(NativeWindow window) override;
  IconHandle LoadIcon(int resourceId) override;
  std::wstring LoadString(std::uint32_t resourceId) override;
  std::uint16_t GetUserDefaultUILanguage() override { return uiLanguage; }
  int MessageBox(NativeWindow owner, const std::wstring& text, const std::wstring* caption,
                 std::uint32_t type) override;
  bool GetOpenFileName(NativeWindow owner, const OpenFileRequest& request,
                       std::wstring& path) override;
  std::wstring GetCurrentDirectory(std::size_t bufferChars) override;
  bool StartThread(std::function<void()> body) override;
  void Sleep(std::uint32_t milliseconds) override { m_clock.Advance(milliseconds); }
  std::uint64_t TickCount() override { return m_clock.NowMs(); }
  void EndProcess() override { processEnded = true; }
  bool processEnded = false;

 private:
  WindowState* Find(NativeWindow window);
  const WindowState* Find(NativeWindow window) const;

  VirtualClock& m_clock;
  mutable std::mutex m_mutex;
  CDialog* m_dialog = nullptr;
  // Window records; the dialog is the first. Handles are 1-based indices.
  std::vector<WindowState> m_windows;
  std::vector<MessageBoxCall> m_boxes;
  std::vector<OpenFileRequest> m_fileDialogs;
  std::vector<std::intptr_t> m_progress;
  std::vector<std::wstring> m_titles;
  struct Posted {
    std::uint32_t message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
  };
  std::vector<Posted> m_posted;

  std::mutex m_threadMutex;
  std::condition_variable m_threadDone;
  int m_runningThreads = 0;
  std::vector<std::thread> m_threads;
};

}  // namespace kestro::headless
