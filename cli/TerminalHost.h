// The shell of an update on a terminal: the package named on the command line, the offer
// answered y/N (or at once with --yes), messages on standard output (the success) and standard
// error (all else), the title kept for the version line, and the progress bar.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/Progress.h"
#include "cli/StopSignal.h"
#include "cli/Texts.h"
#include "update/UpdateContext.h"
#include "update/UpdateHost.h"

namespace kestro::cli {

class TerminalHost : public UpdateHost {
 public:
  // `stop` cuts the update's pauses short.
  TerminalHost(const Texts& texts, const UpdateContext& context, const StopSignal& stop,
               bool assumeYes)
      : m_texts(texts), m_context(context), m_stop(stop), m_assumeYes(assumeYes) {}

  void SetPackage(std::wstring path) { m_package = std::move(path); }

  std::wstring Text(int index) override { return m_texts.Text(index); }
  std::optional<std::wstring> ChoosePackage() override { return m_package; }
  bool ConfirmImage(const std::wstring& offer) override;
  void Tell(const std::wstring& message, From from) override;
  void SetTitle(const std::wstring& title) override { m_title = title; }
  void SetTitleShowsVersion() override {}
  void EnableUpdateButton(bool) override {}
  void ShowSuccessLabel() override { m_succeeded = true; }
  void SetProgress(std::uint32_t percent) override;
  void RefreshUpdateButton() override {}
  void Wait(std::uint32_t milliseconds) override;
  std::uint64_t NowMs() override;

  // The title a version reply or the boot-mode info exchange set; empty when none did.
  const std::wstring& Title() const { return m_title; }
  bool Succeeded() const { return m_succeeded; }
  // The user has accepted the image: from here on the controller is being written.
  bool Transferring() const { return m_transferring.load(); }

 private:
  const Texts& m_texts;
  const UpdateContext& m_context;
  const StopSignal& m_stop;
  bool m_assumeYes;
  std::optional<std::wstring> m_package;
  std::wstring m_title;
  bool m_succeeded = false;
  std::atomic<bool> m_transferring{false};
  Progress m_progress{stderr, isatty(fileno(stderr)) != 0};
};

}  // namespace kestro::cli
