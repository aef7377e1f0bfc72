// kestro-replay: recordings of sessions with a controller, made from USB captures.
#include <cstdio>
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/replay/ImportCommand.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> all(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string_view command = all.empty() ? std::string_view() : all[0];
  if (command == "import") {
    return kestro::replay::RunImport(kestro::replay::Arguments(all).subspan(1), std::cerr);
  }
  if (command == "--help" || command == "-h") {
    std::fputs(kestro::replay::kUsage, stdout);
    return kestro::replay::kExitOk;
  }
  std::fputs(command.empty() ? "kestro-replay: no command\n" : "kestro-replay: unknown command\n",
             stderr);
  std::fputs(kestro::replay::kUsage, stderr);
  return kestro::replay::kExitUsage;
}
