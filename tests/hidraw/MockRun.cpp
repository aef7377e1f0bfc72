// Runs a command inside the umockdev test bed, with the controller of a device-link server
// (kestro-link-server) plugged in as /dev/hidraw0 when one is named: what scripts/run.sh and
// scripts/bench.sh use to put the shipped program under Wine in front of the emulated controller
// through Wine's own HID bus (winebus), and to make that Wine session's prefix. The command and
// whatever it starts inherit the mock; it must run under umockdev-wrapper. Exits with the
// command's status (64: a usage error, 69: the test bed or the server could not be had).
//   hidraw-mock-run [--link PORT] [--wine] -- COMMAND [ARGS...]
//     --link PORT  plug in the controller of the server on 127.0.0.1:PORT; its "detach" unplugs it
//     --wine       unplugging keeps the node's terminal, as Wine's device host needs it
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "tests/hidraw/HidrawTestbed.h"
#include "tests/hidraw/LinkedController.h"

using namespace kestro::hidraw::testing;

namespace {

constexpr char kUsage[] = "usage: hidraw-mock-run [--link PORT] [--wine] -- COMMAND [ARGS...]\n";

volatile sig_atomic_t g_child = 0;

// A stop meant for us is meant for the command: it ends first, and the test bed after it.
void PassOn(int signal) {
  if (g_child > 0) kill(g_child, signal);
}

}  // namespace

int main(int argc, char** argv) {
  long port = 0;
  bool wine = false;
  int command = 1;
  for (; command < argc && std::strcmp(argv[command], "--") != 0; ++command) {
    if (std::strcmp(argv[command], "--link") == 0 && command + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++command], &end, 10);
      if (*end != '\0' || port <= 0 || port > 65535) {
        std::fputs(kUsage, stderr);
        return 64;
      }
    } else if (std::strcmp(argv[command], "--wine") == 0) {
      wine = true;
    } else {
      std::fprintf(stderr, "hidraw-mock-run: unknown option %s\n%s", argv[command], kUsage);
      return 64;
    }
  }
  if (command + 1 >= argc) {
    std::fputs(kUsage, stderr);
    return 64;
  }

  HidrawTestbed bed;
  if (!bed.Ready()) {
    std::fputs("hidraw-mock-run: run it under umockdev-wrapper\n", stderr);
    return 69;
  }
  if (wine) bed.SetRemoval(Removal::kKeepTerminal);
  std::shared_ptr<LinkedController> controller;
  if (port != 0) {
    controller = LinkedController::Connect(static_cast<std::uint16_t>(port));
    if (!controller || !controller->PlugInto(bed)) {
      std::fprintf(stderr, "hidraw-mock-run: no controller from 127.0.0.1:%ld\n", port);
      return 69;
    }
    std::fprintf(stderr, "hidraw-mock-run: /dev/hidraw0 is the controller %04x:%04x\n",
                 controller->VendorId(), controller->ProductId());
  }

  struct sigaction passOn {};
  passOn.sa_handler = PassOn;
  sigaction(SIGINT, &passOn, nullptr);
  sigaction(SIGTERM, &passOn, nullptr);
  const pid_t child = fork();
  if (child == 0) {
    execvp(argv[command + 1], argv + command + 1);
    std::fprintf(stderr, "hidraw-mock-run: %s: %s\n", argv[command + 1], std::strerror(errno));
    _exit(127);
  }
  if (child < 0) return 69;
  g_child = child;
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
