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
#include "res/texts.def"
#undef KESTRO_TEXT
};

// The entry of LocalizedString index, or nullptr.
inline const TextEntry* FindText(int index) {
  for (const TextEntry& entry : kTextTable) {
    if (entry.index == index) return &entry;
  }
  return nullptr;
}

}  // namespace kestro
