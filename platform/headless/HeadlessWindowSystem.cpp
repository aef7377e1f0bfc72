#include "platform/headless/HeadlessWindowSystem.h"

#include <chrono>

#include "res/TextTable.h"
#include "res/resource.h"

namespace kestro::headless {
namespace {

// The dialog template's controls, in tab order, with their template texts.
struct TemplateControl {
  int id;
  const wchar_t* text;
};
constexpr TemplateControl kControls[] = {
    {IDC_PROGRESS, L""},
    {IDC_UPDATE_BUTTON, L"USB_Update"},
    {IDC_SUCCESS_LABEL, L"Firmware upgraded!"},
    {IDC_INSTRUCTIONS, L"静态"},
};

NativeWindow HandleOf(std::size_t index) { return reinterpret_cast<NativeWindow>(index + 1); }

class HeadlessPaint : public PaintSession {
 public:
  HeadlessPaint(HeadlessWindowSystem& system) : m_system(system) {}
  std::uintptr_t DeviceContext() override { return 0xDC; }
  int SystemMetric(std::uint32_t) override { return 32; }
  Size ClientSize() override { return m_system.clientSize; }
  void DrawIcon(int x, int y, IconHandle) override { m_system.drawnIcons.emplace_back(x, y); }

 private:
  HeadlessWindowSystem& m_system;
};

}  // namespace

HeadlessWindowSystem::~HeadlessWindowSystem() {
  JoinThreads();
  for (auto& t : m_threads) {
    if (t.joinable()) t.join();
  }
}

void HeadlessWindowSystem::CreateDialog(CDialog& dialog) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dialog = &dialog;
    m_windows.clear();
    m_windows.push_back(WindowState{0, L"placeholder", true, true, 0, 0, {}});
    for (const auto& c : kControls)
      m_windows.push_back(WindowState{c.id, c.text, true, true, 0, 0, {}});
  }
  dialog.m_hWnd = HandleOf(0);
  Deliver(win::WM_INITDIALOG, 0, 0);
}

std::intptr_t HeadlessWindowSystem::Deliver(std::uint32_t message, std::uintptr_t wParam,
                                            std::intptr_t lParam) {
  std::intptr_t result = 0;
  if (m_dialog) m_dialog->Dispatch(message, wParam, lParam, result);
  return result;
}

bool HeadlessWindowSystem::JoinThreads(int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_threadMutex);
  return m_threadDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_runningThreads == 0; });
}

WindowState* HeadlessWindowSystem::Find(NativeWindow window) {
  const auto index = reinterpret_cast<std::uintptr_t>(window);
  if (index == 0 || index > m_windows.size()) return nullptr;
  return &m_windows[index - 1];
}

const WindowState* HeadlessWindowSystem::Find(NativeWindow window) const {
  return const_cast<HeadlessWindowSystem*>(this)->Find(window);
}

WindowState HeadlessWindowSystem::Dialog() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_windows.empty() ? WindowState{} : m_windows[0];
}

WindowState HeadlessWindowSystem::Control(int id) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (std::size_t i = 1; i < m_windows.size(); ++i) {
    if (m_windows[i].id == id) return m_windows[i];
  }
  return WindowState{};
}

std::vector<MessageBoxCall> HeadlessWindowSystem::MessageBoxes() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_boxes;
}

std::vector<OpenFileRequest> HeadlessWindowSystem::FileDialogs() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_fileDialogs;
}

std::vector<std::intptr_t> HeadlessWindowSystem::ProgressPositions() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_progress;
}

std::vector<std::wstring> HeadlessWindowSystem::Titles() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_titles;
}

std::intptr_t HeadlessWindowSystem::RunModal(CDialog& dialog, int, NativeWindow) {
  CreateDialog(dialog);
  return win::IDCANCEL;
}

NativeWindow HeadlessWindowSystem::GetDlgItem(NativeWindow dialog, int id) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (dialog != HandleOf(0)) return nullptr;
  for (std::size_t i = 1; i < m_windows.size(); ++i) {
    if (m_windows[i].id == id) return HandleOf(i);
  }
  return nullptr;
}

void HeadlessWindowSystem::SetWindowText(NativeWindow window, const std::wstring& text) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (WindowState* w = Find(window)) {
    w->text = text;
    if (window == HandleOf(0)) m_titles.push_back(text);
  }
}

bool HeadlessWindowSystem::EnableWindow(NativeWindow window, bool enable) {
  std::lock_guard<std::mutex> lock(m_mutex);
  WindowState* w = Find(window);
  if (!w) return false;
  const bool wasDisabled = !w->enabled;
  w->enabled = enable;
  return wasDisabled;
}

bool HeadlessWindowSystem::ShowWindow(NativeWindow window, int command) {
  std::lock_guard<std::mutex> lock(m_mutex);
  WindowState* w = Find(window);
  if (!w) return false;
  const bool wasVisible = w->visible;
  w->visible = command != win::SW_HIDE;
  return wasVisible;
}

std::intptr_t HeadlessWindowSystem::SendMessage(NativeWindow window, std::uint32_t message,
                                                std::uintptr_t wParam, std::intptr_t lParam) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    WindowState* w = Find(window);
    if (!w) return 0;
    switch (message) {
      case win::PBM_SETRANGE:
        w->progressRange = lParam;
        return 0;
      case win::PBM_SETPOS: {
        const std::intptr_t previous = w->progressPosition;
        w->progressPosition = static_cast<std::intptr_t>(wParam);
        m_progress.push_back(w->progressPosition);
        return previous;
      }
      case win::PBM_GETPOS:
        return w->progressPosition;
      case win::WM_SETICON:
        w->icons.push_back(wParam);
        return 0;
      default:
        break;
    }
  }
  return window == HandleOf(0) ? Deliver(message, wParam, lParam) : 0;
}

bool HeadlessWindowSystem::PostMessage(NativeWindow window, std::uint32_t message,
                                       std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (window != HandleOf(0) || !m_dialog) return false;
  m_posted.push_back({message, wParam, lParam});
  return true;
}

int HeadlessWindowSystem::DeliverPosted() {
  int delivered = 0;
  for (;;) {
    Posted next{};
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_posted.empty()) return delivered;
      next = m_posted.front();
      m_posted.erase(m_posted.begin());
    }
    Deliver(next.message, next.wParam, next.lParam);
    ++delivered;
  }
}

bool HeadlessWindowSystem::IsIconic(NativeWindow) { return iconic; }

std::unique_ptr<PaintSession> HeadlessWindowSystem::BeginPaint(NativeWindow) {
  return std::make_unique<HeadlessPaint>(*this);
}

void HeadlessWindowSystem::DefaultPaint(NativeWindow) {}

IconHandle HeadlessWindowSystem::LoadIcon(int resourceId) {
  return resourceId == IDI_APP_ICON ? reinterpret_cast<IconHandle>(0x152) : nullptr;
}

std::wstring HeadlessWindowSystem::LoadString(std::uint32_t resourceId) {
  if (auto it = stringOverrides.find(resourceId); it != stringOverrides.end()) return it->second;
  for (const TextEntry& t : kTextTable) {
    if (resourceId == static_cast<std::uint32_t>(IDS_ZH_BASE + t.index)) return t.chinese;
    if (resourceId == static_cast<std::uint32_t>(IDS_EN_BASE + t.index)) return t.english;
  }
  return std::wstring();
}

int HeadlessWindowSystem::MessageBox(NativeWindow, const std::wstring& text,
                                     const std::wstring* caption, std::uint32_t type) {
  MessageBoxCall call{text, caption != nullptr, caption ? *caption : appName, type};
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_boxes.push_back(call);
  }
  return onMessageBox ? onMessageBox(call) : win::IDOK;
}

bool HeadlessWindowSystem::GetOpenFileName(NativeWindow, const OpenFileRequest& request,
                                           std::wstring& path) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fileDialogs.push_back(request);
  }
  return onFileDialog ? onFileDialog(request, path) : false;
}

std::wstring HeadlessWindowSystem::GetCurrentDirectory(std::size_t bufferChars) {
  return currentDirectory.size() < bufferChars ? currentDirectory : std::wstring();
}

bool HeadlessWindowSystem::StartThread(std::function<void()> body) {
  if (failThreadStart) return false;
  if (beforeThreadStarts) beforeThreadStarts();
  if (runThreadsInline) {
    body();
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    ++m_runningThreads;
  }
  m_threads.emplace_back([this, body = std::move(body)] {
    body();
    std::lock_guard<std::mutex> lock(m_threadMutex);
    --m_runningThreads;
    m_threadDone.notify_all();
  });
  return true;
}

}  // namespace kestro::headless
