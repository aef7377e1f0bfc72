#include "cli/TerminalHost.h"

#include <unistd.h>

#include <chrono>
#include <iostream>

#include "platform/Utf8.h"

namespace kestro::cli {
namespace {
constexpr int kTextUpdate = 1;  // "Update", the question after the offer
}  // namespace

bool TerminalHost::ConfirmImage(const std::wstring& offer) {
  std::printf("%s\n", ToUtf8(ForTerminal(offer)).c_str());
  if (!m_assumeYes) {
    std::printf("%s? [y/N] ", ToUtf8(Text(kTextUpdate)).c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
      return false;
    }
  }
  std::fflush(stdout);
  m_transferring = true;
  return true;
}

void TerminalHost::Tell(const std::wstring& message, From from) {
  m_progress.Finish();
  // Where a window would name the program in its caption, a terminal line starts with its name.
  const char* prefix = from == From::kProgram ? "kestro-update: " : "";
  std::fprintf(stderr, "%s%s\n", prefix, ToUtf8(ForTerminal(message)).c_str());
  std::fflush(stderr);
}

void TerminalHost::Finish(Outcome outcome, const std::wstring& message, From from) {
  m_outcome = outcome;
  if (message.empty()) return;
  if (outcome != Outcome::kSucceeded) {
    Tell(message, from);
    return;
  }
  // A success goes where results go; everything else is something to heed.
  m_progress.Finish();
  std::printf("%s\n", ToUtf8(ForTerminal(message)).c_str());
  std::fflush(stdout);
}

void TerminalHost::SetProgress(std::uint32_t percent, std::uint32_t bytesSent,
                               std::uint32_t imageLength) {
  // The update sets 0 at the start of its transfer: no bar before the first block is through.
  if (percent == 0) return;
  m_progress.Show(percent, bytesSent, imageLength);
}

void TerminalHost::Wait(std::uint32_t milliseconds) { m_stop.Sleep(milliseconds); }

std::uint64_t TerminalHost::NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace kestro::cli
