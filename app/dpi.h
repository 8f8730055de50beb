// The windows' layout is written in pixels at 96 DPI, the product's own
// units; it is scaled for the DPI a window is shown at where it is used.
#pragma once

#include <windows.h>

inline constexpr UINT kBaseDpi = 96;

// A 96-DPI length at dpi, rounded to the nearest pixel (halves away from
// zero); every coordinate, size and font height is scaled by this one rule.
inline int dpiScale(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), static_cast<int>(kBaseDpi));
}

// The DPI the window is shown at: GetDpiForWindow where Windows has it (10,
// version 1607 on), otherwise the screen's LOGPIXELSY, which is the system
// DPI. 96 when neither answers.
UINT windowDpi(HWND window);
// The system DPI, at which Windows places and sizes a window before it
// knows its monitor.
UINT systemDpi();
