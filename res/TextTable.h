// The two-language texts as a table, for the builds without the string-table resource (the
// native tests' window system, the Linux front, the benchmark): the same one source, texts.def.
#pragma once

namespace kestro {

struct TextEntry {
  int index;
  const wchar_t* chinese;
  const wchar_t* english;
};

inline constexpr TextEntry kTextTable[] = {
#define KESTRO_TEXT(index, zh, en) {index, zh, en},
#define KESTRO_TERMINAL_TEXT(index, zh, en)
#include "res/texts.def"
#undef KESTRO_TERMINAL_TEXT
#undef KESTRO_TEXT
};

// Where a terminal words a text its own way.
inline constexpr TextEntry kTerminalTextTable[] = {
#define KESTRO_TEXT(index, zh, en)
#define KESTRO_TERMINAL_TEXT(index, zh, en) {index, zh, en},
#include "res/texts.def"
#undef KESTRO_TERMINAL_TEXT
#undef KESTRO_TEXT
};

// The entry of LocalizedString index, or nullptr.
inline const TextEntry* FindText(int index) {
  for (const TextEntry& entry : kTextTable) {
    if (entry.index == index) return &entry;
  }
  return nullptr;
}

// The entry of LocalizedString index as a terminal says it.
inline const TextEntry* FindTerminalText(int index) {
  for (const TextEntry& entry : kTerminalTextTable) {
    if (entry.index == index) return &entry;
  }
  return FindText(index);
}

}  // namespace kestro
