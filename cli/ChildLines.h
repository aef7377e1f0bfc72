// What a program started for one controller (--child) tells the program that started it, one line
// each on its standard output: a word, a blank, the rest. Texts are UTF-8, with line feeds as
// "\n" so that each stays one line.
//
//   found <normal|boot> <vid> <pid> <version word in hex, or "unknown">   after the version query
//   offer <text>                                   the image offered, as the user would see it
//   target <version word in hex>                   the version the update writes
//   progress <percent> <bytes> <total>             the transfer moved on
//   message <text>                                 something the user must read
//   note <text>                                    the program's own line
//   outcome <succeeded|failed|not-made|current> <text>   how it ended (current: left alone)
//
// The parent writes "abort" to the child's standard input to stop its update.
#pragma once

#include <string>

#include "update/UpdateHost.h"

namespace kestro::cli::child {

inline constexpr char kFound[] = "found";
inline constexpr char kOffer[] = "offer";
inline constexpr char kTarget[] = "target";
inline constexpr char kProgress[] = "progress";
inline constexpr char kMessage[] = "message";
inline constexpr char kNote[] = "note";
inline constexpr char kOutcome[] = "outcome";
inline constexpr char kAbort[] = "abort";
inline constexpr char kCurrent[] = "current";

inline std::string Line(const char* word, const std::string& rest) {
  std::string line = word;
  line += ' ';
  for (char c : rest) {
    if (c == '\n') {
      line += "\\n";
    } else if (c == '\\') {
      line += "\\\\";
    } else if (c != '\r') {
      line += c;
    }
  }
  return line + "\n";
}

// A line split into its word and its rest, the rest's escapes undone.
struct Parsed {
  std::string word;
  std::string rest;
};
inline Parsed Parse(const std::string& line) {
  Parsed parsed;
  const std::size_t blank = line.find(' ');
  parsed.word = line.substr(0, blank);
  if (blank == std::string::npos) return parsed;
  for (std::size_t i = blank + 1; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      parsed.rest += line[i + 1] == 'n' ? '\n' : line[i + 1];
      ++i;
    } else {
      parsed.rest += line[i];
    }
  }
  return parsed;
}

inline std::string OutcomeWord(UpdateHost::Outcome outcome) {
  switch (outcome) {
    case UpdateHost::Outcome::kSucceeded:
      return "succeeded";
    case UpdateHost::Outcome::kFailed:
      return "failed";
    case UpdateHost::Outcome::kNotMade:
      return "not-made";
  }
  return "not-made";
}

}  // namespace kestro::cli::child
