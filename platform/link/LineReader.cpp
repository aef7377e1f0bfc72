#include "platform/link/LineReader.h"

namespace kestro::link {

void LineReader::Append(const char* bytes, std::size_t size) { m_pending.append(bytes, size); }

LineReader::Next LineReader::Take(std::string& line) {
  for (;;) {
    const std::size_t newline = m_pending.find('\n');
    if (newline == std::string::npos) {
      if (m_skipping) {
        m_pending.clear();
      } else if (m_pending.size() > m_maxLength) {
        line = m_pending.substr(0, m_maxLength);
        m_pending.clear();
        m_skipping = true;
        return Next::kTooLong;
      }
      return Next::kMore;
    }
    const bool skipped = m_skipping;
    m_skipping = false;
    line = m_pending.substr(0, newline);
    m_pending.erase(0, newline + 1);
    if (skipped) continue;
    if (line.size() <= m_maxLength) return Next::kLine;
    line.resize(m_maxLength);
    return Next::kTooLong;
  }
}

}  // namespace kestro::link
