#include "cli/StopSignal.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace kestro::cli {

StopSignal::StopSignal() : m_handle(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
  if (m_handle >= 0) close(static_cast<int>(m_handle));
}

void StopSignal::Raise() {
  const std::uint64_t one = 1;
  if (m_handle >= 0 && write(static_cast<int>(m_handle), &one, sizeof one) < 0) {
    return;  // already raised often enough
  }
}

void StopSignal::Sleep(std::uint32_t milliseconds) const {
  using Clock = std::chrono::steady_clock;
  const int fd = static_cast<int>(m_handle);
  if (fd < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return;
  }
  // The event is never read, so a raised stop keeps every later pause short too.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready > 0 || (ready < 0 && errno != EINTR)) return;
  }
}

}  // namespace kestro::cli
