// The program's own texts, by index 0 to 16, in Simplified Chinese when the user's interface
// language is 2052 and in English otherwise. The language is read afresh at every request.
#pragma once

#include <string>

#include "platform/WindowSystem.h"

namespace kestro {

std::wstring LocalizedString(WindowSystem& system, int index);

}  // namespace kestro
