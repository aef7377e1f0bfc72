#include "platform/Framework.h"

namespace kestro {
namespace {
WindowSystem* g_system = nullptr;
CWinApp* g_app = nullptr;
}  // namespace

WindowSystem& System() { return *g_system; }
void SetSystem(WindowSystem* system) { g_system = system; }

void CWnd::SetWindowText(const std::wstring& text) const { System().SetWindowText(m_hWnd, text); }
std::wstring CWnd::GetWindowText() const { return System().GetWindowText(m_hWnd); }
bool CWnd::EnableWindow(bool enable) const { return System().EnableWindow(m_hWnd, enable); }
bool CWnd::IsWindowEnabled() const { return System().IsWindowEnabled(m_hWnd); }
bool CWnd::ShowWindow(int command) const { return System().ShowWindow(m_hWnd, command); }
bool CWnd::IsWindowVisible() const { return System().IsWindowVisible(m_hWnd); }
std::intptr_t CWnd::SendMessage(std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) const {
  return System().SendMessage(m_hWnd, message, wParam, lParam);
}
bool CWnd::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const {
  return System().PostMessage(m_hWnd, message, wParam, lParam);
}
bool CWnd::IsIconic() const { return System().IsIconic(m_hWnd); }
int CWnd::MessageBox(const std::wstring& text, const std::wstring* caption,
                     std::uint32_t type) const {
  return System().MessageBox(m_hWnd, text, caption, type);
}

std::intptr_t CDialog::DoModal() {
  return System().RunModal(*this, m_templateId, m_parent ? m_parent->m_hWnd : nullptr);
}

void CDialog::EndDialog(std::intptr_t result) { System().EndDialog(m_hWnd, result); }

CWnd CDialog::GetDlgItem(int id) const { return CWnd(System().GetDlgItem(m_hWnd, id)); }

bool CDialog::OnInitDialog() { return true; }

void CDialog::OnPaint() { System().DefaultPaint(m_hWnd); }

const MessageMapEntry* CDialog::GetMessageMap() const {
  static const MessageMapEntry none[] = {{0, 0, 0, nullptr}};
  return none;
}

bool CDialog::Dispatch(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam,
                       std::intptr_t& result) {
  if (message == win::WM_INITDIALOG) {
    result = OnInitDialog() ? 1 : 0;
    return true;
  }
  const auto code = static_cast<std::uint32_t>((wParam >> 16) & 0xFFFF);
  const auto id = static_cast<int>(static_cast<std::int16_t>(wParam & 0xFFFF));
  for (const MessageMapEntry* e = GetMessageMap(); e->handler; ++e) {
    if (e->message != message) continue;
    if (message == win::WM_COMMAND && (e->notifyCode != code || e->controlId != id)) continue;
    result = e->handler(*this, wParam, lParam);
    return true;
  }
  return false;
}

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}
bool CWinApp::InitInstance() { return false; }

CWinApp* AfxGetApp() { return g_app; }

}  // namespace kestro
