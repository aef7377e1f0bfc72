#include "platform/record/RecordingPort.h"

#include <cstring>

#ifdef _WIN32
#include <cwchar>
#endif

#include "platform/Utf8.h"

namespace kestro::record {

Recorder::~Recorder() {
  if (m_file != nullptr) std::fclose(m_file);
}

bool Recorder::Open(const std::wstring& path) {
#ifdef _WIN32
  m_file = _wfopen(path.c_str(), L"wb");
#else
  m_file = std::fopen(ToUtf8(path).c_str(), "wb");
#endif
  return m_file != nullptr;
}

void Recorder::Write(const std::string& line) {
  if (m_file == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), m_file);
  // As it goes: a crash or a Ctrl-C leaves every line up to it.
  std::fflush(m_file);
}

void Recorder::Start(const Header& header) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (m_started) return;
  m_started = true;
  m_origin = std::chrono::steady_clock::now();
  Write(HeaderLine(header));
}

void Recorder::Add(Event event) {
  std::lock_guard<std::mutex> lock(m_lock);
  if (!m_started) return;
  event.t = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                           std::chrono::steady_clock::now() - m_origin)
                                           .count());
  Write(EventLine(event));
}

void Recorder::Image(const ImageFacts& image) {
  Event event;
  event.kind = Event::Kind::kImage;
  event.image = image;
  Add(event);
}

void Recorder::Outcome(const std::string& outcome, const std::string& text) {
  Event event;
  event.kind = Event::Kind::kOutcome;
  event.outcome = outcome;
  event.text = text;
  Add(event);
}

void Recorder::Removed() {
  Event event;
  event.kind = Event::Kind::kRemoved;
  Add(event);
}

bool RecordingPort::Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) {
  const bool written = m_inner.Write(handle, report, timeoutMs);
  Event event;
  if (written) {
    event.kind = Event::Kind::kOut;
    std::memcpy(event.report.data(), report + 1, event.report.size());
  } else {
    event.kind = Event::Kind::kWriteFailed;
    event.code = m_inner.LastError();
  }
  m_recorder.Add(event);
  return written;
}

std::uint32_t RecordingPort::Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) {
  const std::uint32_t result = m_inner.Read(handle, report, timeoutMs);
  Event event;
  if (result == kWaitReceived) {
    event.kind = Event::Kind::kIn;
    std::memcpy(event.report.data(), report + 1, event.report.size());
  } else if (result == kWaitTimeout) {
    event.kind = Event::Kind::kTimeout;
  } else {
    event.kind = Event::Kind::kReadFailed;
    event.code = m_inner.LastError();
  }
  m_recorder.Add(event);
  return result;
}

}  // namespace kestro::record
