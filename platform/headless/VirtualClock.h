// Time for native tests: sleeping and waiting advance it at once, so bounds of seconds are
// exercised without waiting for them.
#pragma once

#include <atomic>
#include <cstdint>

namespace kestro::headless {

class VirtualClock {
 public:
  std::uint64_t NowMs() const { return m_now.load(); }
  void Advance(std::uint64_t ms) { m_now += ms; }
  // Moves to `when` unless time is already past it.
  void AdvanceTo(std::uint64_t when) {
    std::uint64_t now = m_now.load();
    while (now < when && !m_now.compare_exchange_weak(now, when)) {
    }
  }

 private:
  std::atomic<std::uint64_t> m_now{1000000};
};

}  // namespace kestro::headless
