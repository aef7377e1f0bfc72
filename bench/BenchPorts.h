// HID ports for the benchmark, each hosting one emulated controller: one whose answers are there
// at once, and one paced by a full-speed USB frame clock, in real time. Both count the CPU time
// the controller spends, so that the host's own time can be told apart.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/HidPort.h"
#include "sim/Device.h"

namespace kestro::bench {

// CPU time of the calling thread, in microseconds.
std::uint64_t ThreadCpuMicros();

class BenchPort : public HidPort {
 public:
  explicit BenchPort(std::shared_ptr<sim::Device> device) : m_device(std::move(device)) {}

  std::vector<std::wstring> EnumerateInterfaces() override { return {L"bench"}; }
  PortHandle Open(const std::wstring& path, PortAccess access) override;
  bool GetAttributes(PortHandle handle, HidAttributes& attributes) override;
  void Close(PortHandle) override {}
  NotifyRegistration RegisterNotifications(NativeWindow) override { return nullptr; }
  void UnregisterNotifications(NotifyRegistration) override {}

  // CPU time the controller has spent on output reports so far.
  std::uint64_t DeviceCpuMicros() const { return m_deviceCpuMicros; }

 protected:
  // Hands the report to the controller; its answers become readable at readableAt.
  void Deliver(const Report& report, std::chrono::steady_clock::time_point readableAt);

  using Bytes = std::array<std::uint8_t, kReportSize>;
  struct Answer {
    std::chrono::steady_clock::time_point readableAt;
    Bytes report;
  };
  std::mutex m_mutex;
  std::condition_variable m_answered;
  std::deque<Answer> m_answers;

 private:
  class Host;
  std::shared_ptr<sim::Device> m_device;
  std::uint64_t m_deviceCpuMicros = 0;
  PortHandle m_next = 1;
};

// Answers are readable as soon as the controller has given them; a read with none waits nothing.
class ZeroLatencyPort : public BenchPort {
 public:
  using BenchPort::BenchPort;
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;
};

// A full-speed interrupt endpoint: an output report goes out at the next 1 ms frame boundary
// (the write returns then), and the controller's answer is readable one frame later.
class FrameClockPort : public BenchPort {
 public:
  using BenchPort::BenchPort;
  bool Write(PortHandle handle, const Report& report, std::uint32_t timeoutMs) override;
  std::uint32_t Read(PortHandle handle, Report& report, std::uint32_t timeoutMs) override;

 private:
  const std::chrono::steady_clock::time_point m_epoch = std::chrono::steady_clock::now();
};

}  // namespace kestro::bench
