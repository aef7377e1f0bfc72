// kestro-package: builds firmware packages from image files or generated images, lists what a
// package holds, extracts an image, and tells which image the updater would take.
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "tools/package/BuildCommand.h"
#include "tools/package/ExtractCommand.h"
#include "tools/package/ListCommand.h"
#include "tools/package/SelectCommand.h"

#ifdef _WIN32
#include <sstream>

#include "platform/Utf8.h"
#include "platform/console/Console.h"

// clang-format off
#include "platform/win32/Win32Api.h"
// clang-format on
#endif

namespace {

constexpr char kUsage[] =
    "usage:\n"
    "  kestro-package build OUT.dat --record KEY=VALUE[,KEY=VALUE...] [--record ...]\n"
    "                 [--truncate BYTES]\n"
    "      keys: model, variant, version, beta, base, and the image, one of\n"
    "            image=FILE  raw binary (base required), or Intel HEX when FILE ends in .hex\n"
    "                        (base defaults to its lowest address; gaps filled with 0xFF);\n"
    "                        model, variant and version required\n"
    "            size=BYTES[,seed=N]  a generated image\n"
    "            length (header length field, when it should differ from the image size)\n"
    "      numbers are decimal or 0x-prefixed hexadecimal; nothing is written on an error\n"
    "  kestro-package list FILE.dat [--json]\n"
    "      exit status 0: complete, 2: the file is cut short, 1: error\n"
    "  kestro-package extract FILE.dat N OUT.bin\n"
    "      writes the image of record N (0-based, as list numbers them)\n"
    "  kestro-package select FILE.dat [--model M --variant V]\n"
    "      the record the updater would take for a boot-mode controller reporting M and V,\n"
    "      or without them for a normal-mode controller (matched as model 0, variant 0)\n"
    "      exit status 0: it would be taken, 2: no image would be, 1: error\n"
    "  kestro-package --help | --version\n";

int Run(const std::vector<std::string_view>& all, std::ostream& out, std::ostream& err) {
  const std::string_view command = all.empty() ? std::string_view() : all[0];
  const kestro::tools::Arguments args = kestro::tools::Arguments(all).subspan(all.empty() ? 0 : 1);
  if (command == "build") return kestro::tools::RunBuild(args, out, err);
  if (command == "list") return kestro::tools::RunList(args, out, err);
  if (command == "extract") return kestro::tools::RunExtract(args, out, err);
  if (command == "select") return kestro::tools::RunSelect(args, out, err);
  // The project's one version, as kestro-update prints its own.
  if (command == "--version") {
    out << "kestro-package " KESTRO_VERSION "\n";
    return 0;
  }
  const bool help = command == "--help" || command == "-h";
  (help ? out : err) << kUsage;
  return help ? 0 : 1;
}

}  // namespace

#ifdef _WIN32
// Arguments as the system gives them, UTF-16, into UTF-8; the output written as kestro-update.exe
// writes its own, so that a Chinese file name shows in a console and goes through a pipe whole.
int wmain(int argc, wchar_t** argv) {
  // Whatever is loaded without a path comes from the system folder only, never from the
  // program's folder or the current one (the imports are all KnownDLLs).
  ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  std::vector<std::string> utf8;
  for (int i = 1; i < argc; ++i) utf8.push_back(kestro::ToUtf8(argv[i]));
  const std::vector<std::string_view> all(utf8.begin(), utf8.end());
  std::ostringstream out, err;
  const int status = Run(all, out, err);
  kestro::console::Out(out.str());
  kestro::console::Err(err.str());
  return status;
}
#else
int main(int argc, char** argv) {
  const std::vector<std::string_view> all(argv + (argc > 0 ? 1 : 0), argv + argc);
  return Run(all, std::cout, std::cerr);
}
#endif
