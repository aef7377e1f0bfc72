#include "cli/Interrupts.h"

#include <atomic>

#include "cli/System.h"
#include "cli/TerminalHost.h"

namespace kestro::cli::interrupts {
namespace {

// What the handler may touch: atomics, and objects set up before it is installed. On Linux it
// runs in a signal handler, so it calls nothing but write(2), the port's atomic flag and the
// stop's eventfd.
std::atomic<int> g_count{0};
std::atomic<bool> g_countOnly{false};
std::atomic<HidPort*> g_port{nullptr};
std::atomic<StopSignal*> g_stop{nullptr};
std::atomic<const TerminalHost*> g_host{nullptr};
std::atomic<bool> g_stopped{false};
// The update has ended: what is left is to say so and exit with its status. A press now changes
// nothing (and the objects above are on their way out).
std::atomic<bool> g_updateOver{false};

const std::string kWarning =
    "\nkestro-update: the controller is being written; stopping now leaves it without working "
    "firmware. Press Ctrl-C again to stop anyway.\n";
const std::string kStopping = "\nkestro-update: stopping the update\n";

void Stop() {
  if (g_stopped.exchange(true)) return;
  if (HidPort* port = g_port.load()) port->Abort();
  if (StopSignal* stop = g_stop.load()) stop->Raise();
}

void OnPress() {
  if (g_updateOver.load()) return;
  const int count = ++g_count;
  if (g_countOnly.load()) return;
  const TerminalHost* host = g_host.load();
  if (host == nullptr || !host->Transferring()) EndInterrupted();  // nothing is being written
  if (count >= 2) Stop();
  InterruptMessage(count == 1 ? kWarning : kStopping);
}

}  // namespace

void Install() { CatchInterrupts(OnPress); }

void GuardUpdate(HidPort& port, StopSignal& stop, const TerminalHost& host) {
  g_port = &port;
  g_stop = &stop;
  g_host = &host;
}

void EndUpdate() {
  g_updateOver = true;
  g_port = nullptr;
  g_stop = nullptr;
  g_host = nullptr;
}

void StopUpdate() {
  g_count = 2;
  Stop();
}

void CountOnly() { g_countOnly = true; }

int Count() { return g_count.load(); }

}  // namespace kestro::cli::interrupts
