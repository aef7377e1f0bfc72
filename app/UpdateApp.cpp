#include "app/UpdateApp.h"

#include "app/UpdateDlg.h"

namespace kestro {

CUpdateApp theApp;

CUpdateApp::~CUpdateApp() = default;

void CUpdateApp::UsePlatform(WindowSystem& system, HidPort& port) {
  m_system = &system;
  m_port = &port;
}

bool CUpdateApp::InitInstance() {
  CUpdateDlg dialog(*m_system, *m_port, nullptr);
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return false;
}

}  // namespace kestro
