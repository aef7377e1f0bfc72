// <windows.h> and the other SDK headers this directory and platform/link/ need. Include it after
// the portable headers: the SDK's A/W name macros are removed here, because the framework's seam
// has members with the same names (SendMessage, MessageBox, ...), which the macros would rename.
// Call the W functions by their full names instead.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// <windows.h> first.
// clang-format off
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <dbt.h>
#include <objbase.h>
// clang-format on

#undef GetCurrentDirectory
#undef GetOpenFileName
#undef GetWindowText
#undef LoadIcon
#undef LoadString
#undef MessageBox
#undef PostMessage
#undef SendMessage
#undef SetWindowText
