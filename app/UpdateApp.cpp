#include "app/UpdateApp.h"

#include "app/UpdateDlg.h"

namespace kestro {

CUpdateApp theApp;

CUpdateApp::~CUpdateApp() = default;

bool CUpdateApp::InitInstance() {
  CUpdateDlg dialog(nullptr);
  m_pMainWnd = &dialog;
  dialog.DoModal();
  m_pMainWnd = nullptr;
  return false;
}

}  // namespace kestro
