// A HID port that records, beside doing the work of the port it wraps: every report written and
// read on any handle, each read that got nothing or failed, each write that failed, as lines of a
// recording (Recording.h), written as they happen. The front says what the recording is of
// (Start), which image was chosen, and how the session ended.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/HidPort.h"
#include "platform/record/Recording.h"

namespace kestro::record {

// The file a recording goes to, a line at a time; nothing is written before Start.
class Recorder {
 public:
  Recorder() = default;
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // False when the file cannot be made.
  bool Open(const std::wstring& path);
  bool IsOpen() const { return m_file != nullptr; }

  void Start(const Header& header);
  void Add(Event event);  // its time is taken now
  void Image(const ImageFacts& image);
  void Outcome(const std::string& outcome, const std::string& text);
  void Removed();

 private:
  void Write(const std::string& line);

  std::mutex m_lock;
  std::FILE* m_file = nullptr;
  bool m_started = false;
  std::chrono::steady_clock::time_point m_origin = std::chrono::steady_clock::now();
};

class RecordingPort : public HidPort {
 public:
  RecordingPort(HidPort& inner, Recorder& recorder) : m_inner(inner), m_recorder(recorder) {}

  std::vector<std::wstring> EnumerateInterfaces() override { return m_inner.EnumerateInterfaces(); }
  PortHandle Open(const std::wstring& path, PortAccess access) override {
    return m_inner.Open(path, access);
  }
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override {
    return m_inner.GetAttributes(handle, attributes);
  }
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
  void Close(PortHandle handle) override { m_inner.Close(handle); }
  NotifyRegistration RegisterNotifications(NativeWindow window) override {
    return m_inner.RegisterNotifications(window);
  }
  void UnregisterNotifications(NotifyRegistration registration) override {
    m_inner.UnregisterNotifications(registration);
  }
  std::uint32_t LastError() override { return m_inner.LastError(); }
  void Abort() override { m_inner.Abort(); }

 private:
  HidPort& m_inner;
  Recorder& m_recorder;
};

}  // namespace kestro::record
