#include "cli/Texts.h"

#include "res/TextTable.h"

namespace kestro::cli {

std::wstring Texts::Text(int index) const {
  const TextEntry* entry = FindTerminalText(index);
  if (entry == nullptr) return {};
  return m_chinese ? entry->chinese : entry->english;
}

std::wstring ForTerminal(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    if (c != L'\r') out += c;
  }
  const std::size_t first = out.find_first_not_of(L" \n");
  if (first == std::wstring::npos) return {};
  return out.substr(first, out.find_last_not_of(L" \n") - first + 1);
}

}  // namespace kestro::cli
