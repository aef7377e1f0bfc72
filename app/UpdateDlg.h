// The main dialog: the one window the user sees, its reactions to device events and to the
// update button, and the shell side of the update.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "hid/Hid.h"
#include "platform/Framework.h"
#include "update/UpdateHost.h"
#include "update/UpdateState.h"
#include "update/Updater.h"

namespace kestro {

class CUpdateDlg : public CDialog, public UpdateHost {
 public:
  CUpdateDlg(WindowSystem& system, HidPort& port, CWnd* parent = nullptr);
  ~CUpdateDlg() override;

  bool OnInitDialog() override;
  void OnPaint();
  IconHandle OnQueryDragIcon();
  bool OnDeviceChange(std::uint32_t eventType, std::intptr_t eventData);
  void OnUsbUpdate();
  // Posted by a worker at its end; runs the version query that an arrival during the update
  // could not.
  std::intptr_t OnWorkerEnded(std::uintptr_t wParam, std::intptr_t lParam);
  // Searches again and enables the button when a controller is present.
  void RefreshUpdateButton();

  bool WorkerRunning() const { return m_workerRunning.load(); }

  // UpdateHost: the update's news, as the dialog shows it.
  std::wstring Text(int index) override;
  std::optional<std::wstring> ChoosePackage() override;
  bool ConfirmImage(const std::wstring& offer) override;
  // The title; a boot loader's version stays in it past the initialisation.
  void ShowVersion(const std::wstring& title, bool sticks) override;
  void Tell(const std::wstring& message, From from) override;
  // A message box; a success also shows the success label and puts the progress bar back at 0.
  void Finish(Outcome outcome, const std::wstring& message, From from) override;
  void AllowUpdate(bool allowed) override;
  void AllowUpdateIfControllerFound() override { RefreshUpdateButton(); }
  void SetProgress(std::uint32_t percent, std::uint32_t, std::uint32_t) override;
  void Wait(std::uint32_t milliseconds) override;
  std::uint64_t NowMs() override;

 private:
  void RunWorker(DeviceKindValue kind);
  // While a worker runs, an arrival's version query is left to the worker's end (true);
  // false when no worker runs and the caller queries now.
  bool DeferToWorker();

  IconHandle m_hIcon = nullptr;
  CHid m_hid;
  // The UpdateContext and both protocols; destroyed before the CHid, as the package file must be.
  Updater m_updater{m_hid, *this};
  std::atomic<std::uint8_t> titleShowsVersion{0};
  // A worker owns the device and the update's buffers while this is set.
  std::atomic<bool> m_workerRunning{false};
  // An arrival came while a worker ran: its version query is owed once the worker has ended.
  std::atomic<bool> m_arrivalPending{false};
  // The worker may still touch the dialog: set before it starts, cleared as its last step (after
  // m_workerRunning, which it clears before handing over an owed query).
  std::atomic<bool> m_workerTouchesDialog{false};

  DECLARE_MESSAGE_MAP()
};

// Posted to the dialog by a worker when it ends.
inline constexpr std::uint32_t WM_WORKER_ENDED = win::WM_APP + 1;

// The main dialog's controls that both threads use, set up at initialisation.
extern CWnd updateButton;
extern CWnd progressBar;
extern CWnd successLabel;

// Where the icon goes in a minimised window's client area: centred, truncating toward zero.
struct IconPosition {
  int x;
  int y;
};
IconPosition CentredIconPosition(Size client, int iconWidth, int iconHeight);

}  // namespace kestro
