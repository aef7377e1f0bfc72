#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "platform/console/Console.h"

namespace kestro::console {
namespace {

void Write(std::FILE* stream, std::string_view utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stream);
  std::fflush(stream);
}

}  // namespace

void Out(std::string_view utf8) { Write(stdout, utf8); }
void Err(std::string_view utf8) { Write(stderr, utf8); }
bool OutIsTerminal() { return isatty(STDOUT_FILENO) != 0; }
bool ErrIsTerminal() { return isatty(STDERR_FILENO) != 0; }
bool ReadLine(std::string& line) { return static_cast<bool>(std::getline(std::cin, line)); }

}  // namespace kestro::console
