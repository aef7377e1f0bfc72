#include "platform/Framework.h"

namespace kestro {

void CWnd::SetWindowText(const std::wstring& text) const { m_system->SetWindowText(m_hWnd, text); }
bool CWnd::EnableWindow(bool enable) const { return m_system->EnableWindow(m_hWnd, enable); }
bool CWnd::ShowWindow(int command) const { return m_system->ShowWindow(m_hWnd, command); }
std::intptr_t CWnd::SendMessage(std::uint32_t message, std::uintptr_t wParam,
                                std::intptr_t lParam) const {
  return m_system->SendMessage(m_hWnd, message, wParam, lParam);
}
bool CWnd::PostMessage(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) const {
  return m_system->PostMessage(m_hWnd, message, wParam, lParam);
}
bool CWnd::IsIconic() const { return m_system->IsIconic(m_hWnd); }
int CWnd::MessageBox(const std::wstring& text, const std::wstring* caption,
                     std::uint32_t type) const {
  return m_system->MessageBox(m_hWnd, text, caption, type);
}

std::intptr_t CDialog::DoModal() {
  return m_system->RunModal(*this, m_templateId, m_parent ? m_parent->m_hWnd : nullptr);
}

CWnd CDialog::GetDlgItem(int id) const { return CWnd(*m_system, m_system->GetDlgItem(m_hWnd, id)); }

bool CDialog::OnInitDialog() { return true; }

void CDialog::OnPaint() { m_system->DefaultPaint(m_hWnd); }

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

CWinApp::~CWinApp() = default;
bool CWinApp::InitInstance() { return false; }

}  // namespace kestro
