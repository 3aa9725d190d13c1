// The DPI a window is shown at, on every Windows from 7 on. Per-monitor awareness (Windows 10)
// gives each window its monitor's DPI; before that, the system DPI applies to all windows.
#pragma once

#include <windows.h>

#ifndef WM_DPICHANGED
#define WM_DPICHANGED 0x02E0
#endif

namespace ordane {

// The window's DPI (the system DPI for a null window or where Windows cannot tell per window).
int WindowDpi(HWND hwnd);
// The whole window's rectangle for a client rectangle at that DPI (frame and caption grow with
// the DPI under per-monitor awareness).
void AdjustRectForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi);
// Places the window at (x, y) with a client area of exactly width x height: the frame is
// measured again after the first sizing, since the DPI the frame is drawn at may differ from
// the one it was computed for.
void PlaceWithClientSize(HWND hwnd, int x, int y, int width, int height, DWORD style, DWORD exStyle,
                         int dpi);
// The message font of the system (Microsoft YaHei, SimSun, ...) is not used: the windows keep
// the 9-point SimSun their layout was drawn for, at this DPI.
HFONT CreateLayoutFont(int dpi);

}  // namespace ordane
