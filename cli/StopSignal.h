// A stop asked for from a signal handler (the second Ctrl-C): it ends the update's pauses at once,
// as the port's abort ends its reads and writes, so that the program ends promptly in any phase.
#pragma once

#include <cstdint>

namespace kestro::cli {

class StopSignal {
 public:
  StopSignal();
  ~StopSignal();
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // Async-signal-safe.
  void Raise();
  // Sleeps for the time given, or less: not at all once a stop was raised.
  void Sleep(std::uint32_t milliseconds) const;

 private:
  // Linux: an eventfd that becomes readable for good when a stop is raised; Windows: an event.
  std::intptr_t m_handle = -1;
};

}  // namespace kestro::cli
