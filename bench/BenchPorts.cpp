#include "bench/BenchPorts.h"

#include <time.h>

#include <cstring>
#include <thread>

namespace kestro::bench {

using Clock = std::chrono::steady_clock;
constexpr auto kFrame = std::chrono::milliseconds(1);

std::uint64_t ThreadCpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

// Collects what the controller answers to one report.
class BenchPort::Host : public sim::DeviceHost {
 public:
  explicit Host(std::vector<Bytes>& answers) : m_answers(answers) {}
  void SendInput(const sim::Payload& payload, std::uint32_t) override {
    Bytes report{};  // report id 0, then the payload
    std::memcpy(report.data() + 1, payload, kPayloadSize);
    m_answers.push_back(report);
  }
  void Detach() override {}
  void StopTakingOutput() override {}
  std::uint64_t NowMs() override {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
            .count());
  }

 private:
  std::vector<Bytes>& m_answers;
};

PortHandle BenchPort::Open(const std::wstring& path, PortAccess) {
  return path == L"bench" ? m_next++ : kNoHandle;
}

bool BenchPort::GetAttributes(PortHandle, HidAttributes& attributes) {
  attributes = {m_device->VendorId(), m_device->ProductId()};
  return true;
}

void BenchPort::Deliver(const Report& report, Clock::time_point readableAt) {
  std::vector<Bytes> answers;
  Host host(answers);
  const std::uint64_t before = ThreadCpuMicros();
  m_device->OnOutput(report, host);
  m_deviceCpuMicros += ThreadCpuMicros() - before;
  std::lock_guard<std::mutex> lock(m_mutex);
  for (const Bytes& answer : answers) m_answers.push_back({readableAt, answer});
  m_answered.notify_all();
}

bool ZeroLatencyPort::Write(PortHandle, const Report& report, std::uint32_t) {
  Deliver(report, Clock::time_point{});
  return true;
}

std::uint32_t ZeroLatencyPort::Read(PortHandle, Report& report, std::uint32_t) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_answers.empty()) return kWaitTimeout;
  std::memcpy(report, m_answers.front().report.data(), kReportSize);
  m_answers.pop_front();
  return kWaitReceived;
}

bool FrameClockPort::Write(PortHandle, const Report& report, std::uint32_t) {
  // The next frame boundary after now.
  const auto sinceEpoch = Clock::now() - m_epoch;
  const auto frames = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch) + kFrame;
  const Clock::time_point boundary = m_epoch + frames;
  std::this_thread::sleep_until(boundary);
  Deliver(report, boundary + kFrame);
  return true;
}

std::uint32_t FrameClockPort::Read(PortHandle, Report& report, std::uint32_t timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::unique_lock<std::mutex> lock(m_mutex);
  for (;;) {
    if (!m_answers.empty() && m_answers.front().readableAt <= Clock::now()) {
      std::memcpy(report, m_answers.front().report.data(), kReportSize);
      m_answers.pop_front();
      return kWaitReceived;
    }
    Clock::time_point wakeAt = deadline;
    if (!m_answers.empty() && m_answers.front().readableAt < wakeAt) {
      wakeAt = m_answers.front().readableAt;
    }
    if (Clock::now() >= deadline) return kWaitTimeout;
    m_answered.wait_until(lock, wakeAt);
  }
}

}  // namespace kestro::bench
