// A GLib main loop on a thread of its own, for what the emulated nodes do later or away from the
// program's calls: reports that come after a delay, and unplugging. umockdev runs its handlers on
// a worker thread of its own, which must never wait for them; the test's thread is busy with the
// program under test (in-process, with its blocking port calls).
#pragma once

#include <glib.h>

#include <cstdint>
#include <functional>
#include <thread>

namespace kestro::hidraw::testing {

class LoopThread {
 public:
  LoopThread();
  ~LoopThread();  // pending work is dropped
  LoopThread(const LoopThread&) = delete;
  LoopThread& operator=(const LoopThread&) = delete;

  // Runs `work` on the loop's thread after delayMs (0: as soon as it can).
  void Post(std::function<void()> work, std::uint32_t delayMs = 0);

 private:
  GMainContext* m_context;
  GMainLoop* m_loop;
  std::thread m_thread;
};

}  // namespace kestro::hidraw::testing
