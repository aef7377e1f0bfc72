// kestro-update: the updater on a terminal, for Linux (over hidraw) and Windows (over the system's
// HID stack). The same core as the Windows dialog (the controller's identities, the package
// selection, both protocols with every bound) under a terminal front.
//
//   kestro-update [--yes] [--wait] [--timeout SECONDS] [--debug] [--device PATH] [PACKAGE.dat]
//   kestro-update --list [--json]
//   kestro-update --all [--yes] [--log FILE] PACKAGE.dat
//   kestro-update --station [--log FILE] PACKAGE.dat
//
// Without a package: the controller's version, as the Windows program's title shows it. With
// one: the update. Exit status 0 when it did what was asked; 1 when an update failed or was not
// made (a bad file, a boot loader that does not tell its model, cancelled); 2 when there is no
// controller to talk to; 64 for a command line it does not understand.
#include <string>
#include <vector>

#include "cli/Front.h"
#include "cli/Interrupts.h"
#include "cli/Options.h"
#include "cli/System.h"
#include "platform/Diagnostics.h"
#include "platform/Utf8.h"
#include "platform/console/Console.h"

namespace kestro::cli {
namespace {

int Main(const std::vector<std::string>& arguments) {
  PrepareProcess();
  const ParsedOptions parsed = ParseOptions(arguments);
  if (!parsed.options) {
    console::Err(kUsage);
    Say(parsed.error);
    return kExitUsage;
  }
  const Options& options = *parsed.options;
  if (options.help) {
    console::Out(kUsage);
    return kExitDone;
  }
  if (options.version) {
    console::Out(std::string(kProgramName) + "\n");
    return kExitDone;
  }
  if (options.debug) {
    SetDiagnosticSink([](const std::wstring& line) { console::Err(ToUtf8(line)); });
  }
  interrupts::Install();
  const Texts texts(LocaleIsChinese());
  if (options.list) return ListControllers(options, texts);
  if (options.all) return UpdateAll(options, texts);
  if (options.station) return RunStation(options, texts);
  return RunOne(options, texts);
}

}  // namespace
}  // namespace kestro::cli

#ifdef _WIN32
// Arguments as the system gives them, UTF-16, into UTF-8.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) arguments.push_back(kestro::ToUtf8(argv[i]));
  return kestro::cli::Main(arguments);
}
#else
// Arguments are bytes: a file name need not be UTF-8, and rides through as it is.
int main(int argc, char** argv) { return kestro::cli::Main({argv + 1, argv + argc}); }
#endif
