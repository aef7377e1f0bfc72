// Window message, control and dialog values used above the window seam, with Windows' own
// numbers; the Win32 backend checks them against <windows.h> at compile time.
#pragma once

#include <cstdint>

namespace kestro::win {

inline constexpr std::uint32_t WM_PAINT = 0x000F;
inline constexpr std::uint32_t WM_ICONERASEBKGND = 0x0027;
inline constexpr std::uint32_t WM_QUERYDRAGICON = 0x0037;
inline constexpr std::uint32_t WM_SETICON = 0x0080;
inline constexpr std::uint32_t WM_INITDIALOG = 0x0110;
inline constexpr std::uint32_t WM_COMMAND = 0x0111;
inline constexpr std::uint32_t WM_DEVICECHANGE = 0x0219;
inline constexpr std::uint32_t WM_APP = 0x8000;  // first message of an application's own
inline constexpr std::uint32_t BN_CLICKED = 0;
inline constexpr std::uint32_t PBM_SETRANGE = 0x0401;
inline constexpr std::uint32_t PBM_SETPOS = 0x0402;
inline constexpr std::uint32_t PBM_GETPOS = 0x0408;
inline constexpr std::uintptr_t ICON_SMALL = 0;
inline constexpr std::uintptr_t ICON_BIG = 1;
inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOW = 5;
inline constexpr std::uint32_t MB_OK = 0x0;
inline constexpr std::uint32_t MB_OKCANCEL = 0x1;
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr std::uint32_t OFN_OVERWRITEPROMPT = 0x2;
inline constexpr std::uint32_t OFN_HIDEREADONLY = 0x4;
inline constexpr std::uint32_t DBT_DEVNODES_CHANGED = 0x0007;
inline constexpr std::uint32_t DBT_DEVICEARRIVAL = 0x8000;
inline constexpr std::uint32_t DBT_DEVICEREMOVECOMPLETE = 0x8004;
inline constexpr std::uint32_t SM_CXICON = 11;
inline constexpr std::uint32_t SM_CYICON = 12;
inline constexpr std::uint16_t LANG_ZH_CN = 2052;

}  // namespace kestro::win
