#include "app/UpdateDlg.h"

#include "app/LocalizedString.h"
#include "platform/Diagnostics.h"
#include "res/resource.h"

namespace kestro {

CWnd updateButton;
CWnd progressBar;
CWnd successLabel;

namespace {
constexpr int kTextButton = 12;
constexpr std::intptr_t kProgressRange0To100 = 0x00640000;  // MAKELPARAM(0, 100)
// The buffer the current directory is read into, as the file dialog's first folder.
constexpr std::size_t kCurrentDirectoryChars = 256;
}  // namespace

BEGIN_MESSAGE_MAP(CUpdateDlg)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_WM_DEVICECHANGE()
ON_BN_CLICKED(IDC_UPDATE_BUTTON, OnUsbUpdate)
ON_MESSAGE(WM_WORKER_ENDED, OnWorkerEnded)
END_MESSAGE_MAP()

CUpdateDlg::CUpdateDlg(WindowSystem& system, HidPort& port, CWnd* parent)
    : CDialog(system, IDD_UPDATE_DIALOG, parent), m_hid(port) {
  m_hIcon = System().LoadIcon(IDI_APP_ICON);
  titleShowsVersion = 0;
}

CUpdateDlg::~CUpdateDlg() {
  // Nothing waits for a worker: closing the dialog while one runs ends the process here, before
  // the worker could reach the dialog's members as they are destroyed.
  if (m_workerTouchesDialog.load()) System().EndProcess();
}

bool CUpdateDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  SendMessage(win::WM_SETICON, win::ICON_BIG, reinterpret_cast<std::intptr_t>(m_hIcon));
  SendMessage(win::WM_SETICON, win::ICON_SMALL, reinterpret_cast<std::intptr_t>(m_hIcon));

  updateButton = GetDlgItem(IDC_UPDATE_BUTTON);
  progressBar = GetDlgItem(IDC_PROGRESS);
  successLabel = GetDlgItem(IDC_SUCCESS_LABEL);
  successLabel.ShowWindow(win::SW_HIDE);
  successLabel.SetWindowText(LocalizedString(System(), kTextSuccess));
  GetDlgItem(IDC_INSTRUCTIONS).SetWindowText(LocalizedString(System(), kTextInstructions));
  progressBar.SendMessage(win::PBM_SETRANGE, 0, kProgressRange0To100);
  progressBar.SendMessage(win::PBM_SETPOS, 0, 0);

  m_updater.Context().ClearImageFields();
  stopFlag = 1;
  updateButton.SetWindowText(LocalizedString(System(), kTextButton));
  m_hid.m_NotifyWindow = m_hWnd;
  deviceVersion = kVersionUnknown;

  if (m_hid.FindDevice()) {
    updateButton.EnableWindow(true);
    m_updater.QueryDeviceVersion();
  } else {
    updateButton.EnableWindow(false);
  }
  updateState = kUpdateStateIdle;
  if (titleShowsVersion == 0) SetWindowText(LocalizedString(System(), kTextTitle));
  return true;
}

IconPosition CentredIconPosition(Size client, int iconWidth, int iconHeight) {
  return {(client.width - iconWidth + 1) / 2, (client.height - iconHeight + 1) / 2};
}

void CUpdateDlg::OnPaint() {
  if (!IsIconic()) {
    CDialog::OnPaint();
    return;
  }
  std::unique_ptr<PaintSession> paint = System().BeginPaint(m_hWnd);
  SendMessage(win::WM_ICONERASEBKGND, paint->DeviceContext(), 0);
  const int iconWidth = paint->SystemMetric(win::SM_CXICON);
  const int iconHeight = paint->SystemMetric(win::SM_CYICON);
  const IconPosition at = CentredIconPosition(paint->ClientSize(), iconWidth, iconHeight);
  paint->DrawIcon(at.x, at.y, m_hIcon);
}

IconHandle CUpdateDlg::OnQueryDragIcon() { return m_hIcon; }

bool CUpdateDlg::OnDeviceChange(std::uint32_t eventType, std::intptr_t) {
  const std::uint32_t code = eventType & 0xFFFF;
  if (code != win::DBT_DEVNODES_CHANGED && code != win::DBT_DEVICEARRIVAL &&
      code != win::DBT_DEVICEREMOVECOMPLETE) {
    return true;
  }
  const bool present = m_hid.FindDevice() != 0;
  // While a worker runs it owns the device: the button stays disabled and no query runs.
  const bool busy = m_workerRunning.load();
  switch (code) {
    case win::DBT_DEVNODES_CHANGED:
      if (present) {
        if (!busy) updateButton.EnableWindow(true);
      } else {
        updateButton.EnableWindow(false);
        SetWindowText(LocalizedString(System(), kTextTitle));
      }
      break;
    case win::DBT_DEVICEARRIVAL:
      if (present && !DeferToWorker()) {
        updateButton.EnableWindow(true);
        m_updater.QueryDeviceVersion();
      }
      break;
    case win::DBT_DEVICEREMOVECOMPLETE:
      if (!present) {
        updateButton.EnableWindow(false);
        DebugText(LocalizedString(System(), kTextTitle));
        SetWindowText(LocalizedString(System(), kTextTitle));
      }
      break;
  }
  return true;
}

void CUpdateDlg::OnUsbUpdate() {
  successLabel.ShowWindow(win::SW_HIDE);
  // A press while a worker is still ending its run (the button can be enabled again by a failure
  // report before the worker leaves) must not start a second one.
  if (m_workerRunning.load()) return;
  if (!m_hid.OpenDevice()) return;
  stopFlag = 0;
  updateButton.EnableWindow(false);
  progressBar.SendMessage(win::PBM_SETPOS, 0, 0);
  // The controller just opened decides the protocol, whatever a later search finds.
  const auto kind = static_cast<DeviceKindValue>(DeviceKind.load());
  m_workerRunning = true;
  m_workerTouchesDialog = true;
  if (!System().StartThread([this, kind] { RunWorker(kind); })) {
    m_workerRunning = false;
    m_workerTouchesDialog = false;
  }
}

void CUpdateDlg::RunWorker(DeviceKindValue kind) {
  m_updater.Run(kind);
  m_workerRunning = false;
  if (m_arrivalPending.exchange(false)) PostMessage(WM_WORKER_ENDED);
  m_workerTouchesDialog = false;
}

std::intptr_t CUpdateDlg::OnWorkerEnded(std::uintptr_t, std::intptr_t) {
  // The worker's own refresh searched last; search again, as an arrival does.
  if (!DeferToWorker() && m_hid.FindDevice()) {
    updateButton.EnableWindow(true);
    m_updater.QueryDeviceVersion();
  }
  return 0;
}

bool CUpdateDlg::DeferToWorker() {
  if (!m_workerRunning.load()) return false;
  m_arrivalPending = true;
  // Should the worker have ended between the two looks it has not seen the mark, and the query
  // is run here: exactly one of the two sides takes the mark.
  return m_workerRunning.load() || !m_arrivalPending.exchange(false);
}

void CUpdateDlg::RefreshUpdateButton() { updateButton.EnableWindow(m_hid.FindDevice() != 0); }

std::wstring CUpdateDlg::Text(int index) { return LocalizedString(System(), index); }

std::optional<std::wstring> CUpdateDlg::ChoosePackage() {
  OpenFileRequest request;
  request.filter = Text(kTextFileType) + L"(*.dat)|*.dat||";
  request.defaultExtension = L"*.*";
  request.flags = win::OFN_HIDEREADONLY | win::OFN_OVERWRITEPROMPT;
  request.initialDirectory = System().GetCurrentDirectory(kCurrentDirectoryChars);
  std::wstring path;
  if (!System().GetOpenFileName(m_hWnd, request, path)) return std::nullopt;
  return path;
}

bool CUpdateDlg::ConfirmImage(const std::wstring& offer) {
  const std::wstring caption = Text(kTextTitle);
  return MessageBox(offer, &caption, win::MB_OKCANCEL) != win::IDCANCEL;
}

void CUpdateDlg::Tell(const std::wstring& message, From from) {
  if (from == From::kProgram) {
    MessageBox(message, nullptr, win::MB_OK);
    return;
  }
  const std::wstring caption = Text(kTextTitle);
  MessageBox(message, &caption, win::MB_OK);
}

void CUpdateDlg::ShowVersion(const std::wstring& title, bool sticks) {
  if (sticks) titleShowsVersion = 1;
  SetWindowText(title);
}

void CUpdateDlg::Finish(Outcome outcome, const std::wstring& message, From from) {
  if (!message.empty()) Tell(message, from);
  if (outcome == Outcome::kSucceeded) {
    successLabel.ShowWindow(win::SW_SHOW);
    progressBar.SendMessage(win::PBM_SETPOS, 0, 0);
  }
}

void CUpdateDlg::AllowUpdate(bool allowed) { updateButton.EnableWindow(allowed); }
void CUpdateDlg::SetProgress(std::uint32_t percent, std::uint32_t, std::uint32_t) {
  progressBar.SendMessage(win::PBM_SETPOS, percent, 0);
}
void CUpdateDlg::Wait(std::uint32_t milliseconds) { System().Sleep(milliseconds); }
std::uint64_t CUpdateDlg::NowMs() { return System().TickCount(); }

}  // namespace kestro
