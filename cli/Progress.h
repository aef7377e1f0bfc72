// The transfer's progress on standard error: a bar with the percentage, bytes per second and the
// time left on a terminal, a plain line at every tenth otherwise (a log or a pipe).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace kestro::cli {

class Progress {
 public:
  // Drawn on standard error: a bar redrawn in place on a terminal, else lines.
  explicit Progress(bool terminal) : m_terminal(terminal) {}

  // bytes of total are through, percent as the updater computes it.
  void Show(std::uint32_t percent, std::uint64_t bytes, std::uint64_t total);
  // Ends the bar's line, if one is being drawn.
  void Finish();

  // The line for one state of the transfer, without a line end.
  static std::string Line(std::uint32_t percent, std::uint64_t bytes, std::uint64_t total,
                          double seconds, bool bar);

 private:
  bool m_terminal;
  bool m_drawing = false;
  int m_lastTenth = -1;
  std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
  bool m_started = false;
};

}  // namespace kestro::cli
