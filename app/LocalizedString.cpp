#include "app/LocalizedString.h"

#include "platform/WindowsValues.h"
#include "res/resource.h"

namespace kestro {

std::wstring LocalizedString(WindowSystem& system, int index) {
  const bool chinese = system.GetUserDefaultUILanguage() == win::LANG_ZH_CN;
  const auto id = static_cast<std::uint32_t>(index + (chinese ? IDS_ZH_BASE : IDS_EN_BASE));
  return system.LoadString(id);
}

}  // namespace kestro
