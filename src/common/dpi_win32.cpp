#include "common/dpi_win32.h"

#include <cwchar>

namespace ordane {

namespace {

using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
using AdjustWindowRectExForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);

// Functions of Windows 10 1607 on, looked up so that the program still starts on Windows 7.
template <typename Fn>
Fn User32Function(const char* name) {
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    return user32 != nullptr
               ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(user32, name)))
               : nullptr;
}

int SystemDpi() {
    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : 96;
}

}  // namespace

int WindowDpi(HWND hwnd) {
    static const auto getDpiForWindow = User32Function<GetDpiForWindowFn>("GetDpiForWindow");
    if (hwnd != nullptr && getDpiForWindow != nullptr) {
        const UINT dpi = getDpiForWindow(hwnd);
        if (dpi != 0) {
            return static_cast<int>(dpi);
        }
    }
    return SystemDpi();
}

void AdjustRectForDpi(RECT& rect, DWORD style, DWORD exStyle, int dpi) {
    static const auto adjustForDpi =
        User32Function<AdjustWindowRectExForDpiFn>("AdjustWindowRectExForDpi");
    if (adjustForDpi != nullptr &&
        adjustForDpi(&rect, style, FALSE, exStyle, static_cast<UINT>(dpi)) != FALSE) {
        return;
    }
    AdjustWindowRectEx(&rect, style, FALSE, exStyle);
}

HFONT CreateLayoutFont(int dpi) {
    LOGFONTW lf = {};
    lf.lfHeight = -MulDiv(9, dpi, 72);
    lf.lfCharSet = GB2312_CHARSET;
    wcscpy_s(lf.lfFaceName, L"SimSun");
    return CreateFontIndirectW(&lf);
}

}  // namespace ordane
