// How long kestro-update --all takes for N controllers of one mode through umockdev, and how much
// memory the whole run holds at its peak: the program's own, and that of the programs it starts
// for the controllers, together. A benchmark run by scripts/bench.sh under umockdev-wrapper; it
// judges nothing, and exits non-zero only when an update failed.
// The controllers answer at once, so that the emulation's own cost shows, or, with a delay, as a
// controller on a full-speed USB bus answers: a frame (1 ms) after each report.
//   hidraw-bench-all CONTROLLERS normal|boot KIB [ANSWER_DELAY_MS]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "sim/BootController.h"
#include "sim/NormalController.h"
#include "sim/Package.h"
#include "tests/hidraw/HidrawTestbed.h"

using namespace kestro;
using namespace kestro::hidraw::testing;

int main(int argc, char** argv) {
  if (argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: hidraw-bench-all CONTROLLERS normal|boot KIB [ANSWER_DELAY_MS]\n");
    return 2;
  }
  const std::uint32_t delayMs = argc == 5 ? static_cast<std::uint32_t>(std::atoi(argv[4])) : 0;
  const int count = std::atoi(argv[1]);
  const bool boot = std::strcmp(argv[2], "boot") == 0;
  const std::size_t length = static_cast<std::size_t>(std::atoi(argv[3])) * 1024;

  HidrawTestbed bed;
  if (!bed.Ready()) {
    std::fprintf(stderr, "hidraw-bench-all: run it under umockdev-wrapper\n");
    return 2;
  }
  sim::PackageRecord record;
  record.version = 123;
  record.baseAddress = 0x08004000;
  record.modelId = boot ? 0x0102 : 0;
  record.variant = boot ? 3 : 0;
  record.image = sim::PatternImage(length, 7);
  const std::string package = (std::filesystem::temp_directory_path() /
                               ("kestro-bench-all-" + std::to_string(getpid()) + ".dat"))
                                  .string();
  if (!sim::WriteFileBytes(package, sim::BuildPackage({record}))) return 2;

  std::vector<std::shared_ptr<sim::NormalController>> normals;
  std::vector<std::shared_ptr<sim::BootController>> boots;
  for (int i = 0; i < count; ++i) {
    if (boot) {
      sim::BootConfig config;
      config.faults.answerDelayMs = delayMs;
      boots.push_back(std::make_shared<sim::BootController>(config));
      bed.Plug(boots.back());
    } else {
      sim::NormalConfig config;
      config.faults.answerDelayMs = delayMs;
      normals.push_back(std::make_shared<sim::NormalController>(config));
      bed.Plug(normals.back());
    }
  }

  const std::string errors = package + ".err";
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    // Its lines go to no terminal: the time is the updates'. Standard error is kept for the
    // children's peak memory, which --debug tells.
    if (!std::freopen("/dev/null", "w", stdout) || !std::freopen(errors.c_str(), "w", stderr)) {
      _exit(127);
    }
    execl(KESTRO_UPDATE_PROGRAM, KESTRO_UPDATE_PROGRAM, "--all", "--yes", "--debug",
          package.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double wallMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::filesystem::remove(package);

  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  for (const auto& c : normals) ok = ok && c->ReceivedImage() == record.image;
  for (const auto& c : boots) {
    ok = ok && c->FlashRange(0x08004000, static_cast<std::uint32_t>(length)) == record.image;
  }
  // The program's own peak, and the sum of its children's, which it tells with --debug.
  long childrenKiB = 0;
  if (std::FILE* file = std::fopen(errors.c_str(), "r")) {
    char line[512];
    while (std::fgets(line, sizeof line, file)) {
      const char* at = std::strstr(line, "peak memory of the updates together: ");
      if (at != nullptr)
        childrenKiB = std::atol(at + std::strlen("peak memory of the updates together: "));
    }
    std::fclose(file);
  }
  std::filesystem::remove(errors);
  // Where the processor time went: the updaters (the program and the ones it started), and the
  // emulation of the controllers and their nodes here.
  const auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  std::printf(
      "controllers=%d protocol=%s kib=%zu delay_ms=%u ok=%d wall_ms=%.1f peak_kib=%ld "
      "program_peak_kib=%ld updater_cpu_ms=%.0f emulation_cpu_ms=%.0f\n",
      count, boot ? "boot" : "framed", length / 1024, delayMs, ok ? 1 : 0, wallMs,
      usage.ru_maxrss + childrenKiB, usage.ru_maxrss, ms(usage.ru_utime) + ms(usage.ru_stime),
      ms(self.ru_utime) + ms(self.ru_stime));
  return ok ? 0 : 1;
}
