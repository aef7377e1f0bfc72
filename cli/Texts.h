// The program's texts on a terminal: the same two-language table the Windows program's string
// table is made from (res/texts.def), in the language the system asks for (LocaleIsChinese),
// as a terminal shows them.
#pragma once

#include <string>

namespace kestro::cli {

// LocalizedString index, in the language chosen once at start, as a terminal words it.
class Texts {
 public:
  explicit Texts(bool chinese) : m_chinese(chinese) {}
  std::wstring Text(int index) const;

 private:
  bool m_chinese;
};

// For a terminal: CR LF becomes LF, and line feeds and blanks at either end go.
std::wstring ForTerminal(const std::wstring& text);

}  // namespace kestro::cli
