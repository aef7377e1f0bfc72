#include "cli/Progress.h"

#include <algorithm>
#include <cstdio>

#include "platform/console/Console.h"

namespace kestro::cli {
namespace {

constexpr int kBarWidth = 30;

std::string Rate(double bytesPerSecond) {
  char text[32];
  if (bytesPerSecond >= 1024.0) {
    std::snprintf(text, sizeof text, "%.1f KiB/s", bytesPerSecond / 1024.0);
  } else {
    std::snprintf(text, sizeof text, "%.0f B/s", bytesPerSecond);
  }
  return text;
}

std::string Clock(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

std::string Progress::Line(std::uint32_t percent, std::uint64_t bytes, std::uint64_t total,
                           double seconds, bool bar) {
  std::string line;
  if (bar) {
    const int filled = static_cast<int>(std::min<std::uint32_t>(percent, 100) * kBarWidth / 100);
    line.append("[").append(filled, '#').append(kBarWidth - filled, ' ').append("] ");
  }
  char head[16];
  std::snprintf(head, sizeof head, "%3u%%", percent);
  line += head;
  if (seconds > 0 && bytes > 0) {
    const double rate = static_cast<double>(bytes) / seconds;
    line += "  " + Rate(rate);
    if (total > bytes) line += "  " + Clock(static_cast<double>(total - bytes) / rate) + " left";
  }
  return line;
}

void Progress::Show(std::uint32_t percent, std::uint64_t bytes, std::uint64_t total) {
  const auto now = std::chrono::steady_clock::now();
  if (!m_started) {
    m_started = true;
    m_start = now;
  }
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  if (m_terminal) {
    std::string text = "\r";
    text.append(Line(percent, bytes, total, seconds, true)).append("\033[K");
    console::Err(text);
    m_drawing = true;
  } else {
    const int tenth = static_cast<int>(std::min<std::uint32_t>(percent, 100) / 10);
    if (tenth == m_lastTenth) return;
    m_lastTenth = tenth;
    console::Err(Line(percent, bytes, total, seconds, false) + "\n");
  }
}

void Progress::Finish() {
  if (!m_drawing) return;
  console::Err("\n");
  m_drawing = false;
}

}  // namespace kestro::cli
