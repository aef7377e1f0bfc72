#include "tests/hidraw/LoopThread.h"

#include <utility>

namespace kestro::hidraw::testing {
namespace {

gboolean RunOnce(gpointer work) {
  (*static_cast<std::function<void()>*>(work))();
  return G_SOURCE_REMOVE;
}

void Drop(gpointer work) { delete static_cast<std::function<void()>*>(work); }

}  // namespace

LoopThread::LoopThread()
    : m_context(g_main_context_new()), m_loop(g_main_loop_new(m_context, FALSE)) {
  m_thread = std::thread([this] {
    g_main_context_push_thread_default(m_context);
    g_main_loop_run(m_loop);
    g_main_context_pop_thread_default(m_context);
  });
}

LoopThread::~LoopThread() {
  Post([this] { g_main_loop_quit(m_loop); });
  m_thread.join();
  g_main_loop_unref(m_loop);
  g_main_context_unref(m_context);  // destroys the sources still pending, and their work
}

void LoopThread::Post(std::function<void()> work, std::uint32_t delayMs) {
  GSource* source = delayMs == 0 ? g_idle_source_new() : g_timeout_source_new(delayMs);
  g_source_set_callback(source, RunOnce, new std::function<void()>(std::move(work)), Drop);
  g_source_attach(source, m_context);
  g_source_unref(source);
}

}  // namespace kestro::hidraw::testing
