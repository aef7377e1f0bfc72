// The front of an update on a terminal: the package named on the command line, the offer
// answered y/N (or at once with --yes), the outcome on standard output (a success) or standard
// error (all else) and kept for the exit status, the version kept for the version line, and the
// progress bar. For a parent that runs many controllers (--child), the same news as lines of the
// child protocol (cli/ChildLines.h) on standard output instead.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

#include "cli/Progress.h"
#include "cli/StopSignal.h"
#include "cli/Texts.h"
#include "update/UpdateHost.h"

namespace kestro::cli {

class TerminalHost : public UpdateHost {
 public:
  enum class Audience { kPerson, kParent };
  // `stop` cuts the update's pauses short.
  TerminalHost(const Texts& texts, const StopSignal& stop, bool assumeYes,
               Audience audience = Audience::kPerson);

  void SetPackage(std::wstring path) { m_package = std::move(path); }

  std::wstring Text(int index) override { return m_texts.Text(index); }
  std::optional<std::wstring> ChoosePackage() override { return m_package; }
  bool ConfirmImage(const std::wstring& offer) override;
  void ShowVersion(const std::wstring& title, bool) override { m_title = title; }
  void Tell(const std::wstring& message, From from) override;
  void Finish(Outcome outcome, const std::wstring& message, From from) override;
  // Nothing to enable: a terminal runs one update.
  void AllowUpdate(bool) override {}
  void AllowUpdateIfControllerFound() override {}
  void SetProgress(std::uint32_t percent, std::uint32_t bytesSent,
                   std::uint32_t imageLength) override;
  void Wait(std::uint32_t milliseconds) override;
  std::uint64_t NowMs() override;

  // The title a version reply or the boot-mode info exchange gave; empty when none did.
  const std::wstring& Title() const { return m_title; }
  // How the update ended; none when it never started.
  std::optional<Outcome> Result() const { return m_outcome; }
  // What the user was told of it, as a terminal shows it.
  const std::string& ResultText() const { return m_outcomeText; }
  // The user has accepted the image: from here on the controller is being written.
  bool Transferring() const { return m_transferring.load(); }
  // A line of the program's own (not the update's), for a person or the parent.
  void Say(const std::string& line);

 private:
  const Texts& m_texts;
  const StopSignal& m_stop;
  bool m_assumeYes;
  Audience m_audience;
  std::optional<std::wstring> m_package;
  std::wstring m_title;
  std::optional<Outcome> m_outcome;
  std::string m_outcomeText;
  std::atomic<bool> m_transferring{false};
  std::uint32_t m_lastPercent = 0;
  Progress m_progress;
};

}  // namespace kestro::cli
