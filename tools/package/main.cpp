// kestro-package: builds firmware packages from image files or generated images, lists what a
// package holds, extracts an image, and tells which image the updater would take.
#include <cstdio>
#include <iostream>
#include <string_view>
#include <vector>

#include "tools/package/BuildCommand.h"
#include "tools/package/ExtractCommand.h"
#include "tools/package/ListCommand.h"
#include "tools/package/SelectCommand.h"

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
    "      exit status 0: it would be taken, 2: no image would be, 1: error\n";

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> all(argv + (argc > 0 ? 1 : 0), argv + argc);
  const std::string_view command = all.empty() ? std::string_view() : all[0];
  const kestro::tools::Arguments args = kestro::tools::Arguments(all).subspan(all.empty() ? 0 : 1);
  if (command == "build") return kestro::tools::RunBuild(args, std::cout, std::cerr);
  if (command == "list") return kestro::tools::RunList(args, std::cout, std::cerr);
  if (command == "extract") return kestro::tools::RunExtract(args, std::cout, std::cerr);
  if (command == "select") return kestro::tools::RunSelect(args, std::cout, std::cerr);
  const bool help = command == "--help" || command == "-h";
  std::fputs(kUsage, help ? stdout : stderr);
  return help ? 0 : 1;
}
