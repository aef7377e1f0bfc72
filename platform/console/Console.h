// Where the program's lines go: standard output for results, standard error for all else, as
// UTF-8 that a terminal and a pipe both show correctly. Each call writes its text whole.
#pragma once

#include <string>
#include <string_view>

namespace kestro::console {

void Out(std::string_view utf8);
void Err(std::string_view utf8);
// A terminal, where a progress bar is redrawn in place; else a pipe or a file, which gets lines.
bool OutIsTerminal();
bool ErrIsTerminal();
// One line of the user's answer from standard input, without its line end; nothing at its end.
bool ReadLine(std::string& line);

}  // namespace kestro::console
