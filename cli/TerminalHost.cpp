#include "cli/TerminalHost.h"

#include <chrono>

#include "cli/ChildLines.h"
#include "platform/Utf8.h"
#include "platform/console/Console.h"

namespace kestro::cli {
namespace {
constexpr int kTextUpdate = 1;  // "Update", the question after the offer
}  // namespace

TerminalHost::TerminalHost(const Texts& texts, const StopSignal& stop, bool assumeYes,
                           Audience audience)
    : m_texts(texts),
      m_stop(stop),
      m_assumeYes(assumeYes || audience == Audience::kParent),
      m_audience(audience),
      m_progress(console::ErrIsTerminal()) {}

bool TerminalHost::ConfirmImage(const std::wstring& offer) {
  const std::string text = ToUtf8(ForTerminal(offer));
  if (m_audience == Audience::kParent) {
    console::Out(child::Line(child::kOffer, text));
  } else {
    console::Out(text + "\n");
  }
  if (!m_assumeYes) {
    console::Out(ToUtf8(Text(kTextUpdate)) + "? [y/N] ");
    std::string answer;
    if (!console::ReadLine(answer) || (answer != "y" && answer != "Y" && answer != "yes")) {
      return false;
    }
  }
  m_transferring = true;
  return true;
}

void TerminalHost::Say(const std::string& line) {
  if (m_audience == Audience::kParent) {
    console::Out(child::Line(child::kNote, line));
    return;
  }
  m_progress.Finish();
  console::Err("kestro-update: " + line + "\n");
}

void TerminalHost::Tell(const std::wstring& message, From from) {
  // Where a window would name the program in its caption, a terminal line starts with its name.
  const std::string prefix = from == From::kProgram ? "kestro-update: " : "";
  const std::string text = prefix + ToUtf8(ForTerminal(message));
  if (m_audience == Audience::kParent) {
    console::Out(child::Line(child::kMessage, text));
    return;
  }
  m_progress.Finish();
  console::Err(text + "\n");
}

void TerminalHost::Finish(Outcome outcome, const std::wstring& message, From from) {
  m_outcome = outcome;
  m_outcomeText = ToUtf8(ForTerminal(message));
  if (m_audience == Audience::kParent) {
    const std::string prefix = from == From::kProgram ? "kestro-update: " : "";
    const std::string text = message.empty() ? "" : prefix + ToUtf8(ForTerminal(message));
    console::Out(child::Line(child::kOutcome, child::OutcomeWord(outcome) + " " + text));
    return;
  }
  if (message.empty()) return;
  if (outcome != Outcome::kSucceeded) {
    Tell(message, from);
    return;
  }
  // A success goes where results go; everything else is something to heed.
  m_progress.Finish();
  console::Out(ToUtf8(ForTerminal(message)) + "\n");
}

void TerminalHost::SetProgress(std::uint32_t percent, std::uint32_t bytesSent,
                               std::uint32_t imageLength) {
  // The update sets 0 at the start of its transfer: no bar before the first block is through.
  if (percent == 0) return;
  if (m_audience == Audience::kParent) {
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    console::Out(child::Line(child::kProgress, std::to_string(percent) + " " +
                                                   std::to_string(bytesSent) + " " +
                                                   std::to_string(imageLength)));
    return;
  }
  m_progress.Show(percent, bytesSent, imageLength);
}

void TerminalHost::Wait(std::uint32_t milliseconds) { m_stop.Sleep(milliseconds); }

std::uint64_t TerminalHost::NowMs() {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
}

}  // namespace kestro::cli
