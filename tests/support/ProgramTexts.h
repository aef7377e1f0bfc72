// The program's English texts as the tests expect to see them.
#pragma once

#include <string>

namespace kestro::testing {

inline const std::wstring kTitle = L"Kestro Update v2.00";
// The success and failure messages, as the update words them.
inline const std::wstring kSuccessBox = L"\n Firmware upgraded! \n";
inline const std::wstring kFailureBox = L"Firmware update failure\n";
inline const std::wstring kEnglishInstructions =
    L"1. Press and hold LB+RB, then plug in USB, POWER LED will blink in white.\r\n\r\n"
    L"2. Click \"USB Update\" button and select firmware file.";

}  // namespace kestro::testing
