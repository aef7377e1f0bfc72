// Records one session of kestro-update with an emulated controller, for the regression suite of
// recordings (tests/replay/): the controller in the mode and with the fault named, the program run
// with --yes --record on the package given. Run under umockdev-wrapper by
// tests/replay/make-recordings.sh; it judges nothing and exits with the program's status.
//   hidraw-record-session normal|boot whole|failure|unplug|slow PACKAGE.dat OUT.jsonl
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "tests/hidraw/HidrawTestbed.h"

using namespace kestro;
using namespace kestro::hidraw::testing;

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr,
                 "usage: hidraw-record-session normal|boot whole|failure|unplug|slow PACKAGE.dat "
                 "OUT.jsonl\n");
    return 64;
  }
  const bool boot = std::strcmp(argv[1], "boot") == 0;
  const std::string fault = argv[2];
  HidrawTestbed bed;
  if (!bed.Ready()) {
    std::fprintf(stderr, "hidraw-record-session: run it under umockdev-wrapper\n");
    return 64;
  }
  std::shared_ptr<sim::Device> device;
  if (boot) {
    sim::BootConfig config;
    if (fault == "failure") config.faults.wrongStatusFor = 2;  // the version word refused
    if (fault == "unplug") config.faults.detachAtBlock = 10;
    if (fault == "slow") config.faults.answerDelayMs = 40;
    device = std::make_shared<sim::BootController>(config);
  } else {
    sim::NormalConfig config;
    if (fault == "failure") config.faults.failAtBlock = 10;
    if (fault == "unplug") config.faults.detachAtBlock = 10;
    if (fault == "slow") config.faults.answerDelayMs = 40;
    device = std::make_shared<sim::NormalController>(config);
  }
  if (!bed.Plug(device)) return 64;
  const pid_t pid = fork();
  if (pid == 0) {
    execl(KESTRO_UPDATE_PROGRAM, KESTRO_UPDATE_PROGRAM, "--yes", "--record", argv[4], argv[3],
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
