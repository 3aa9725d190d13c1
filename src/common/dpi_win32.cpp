#include "common/dpi_win32.h"

#include <cwchar>

#include "common/handle_win32.h"

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
    const UniqueScreenDc screen(GetDC(nullptr));
    const int dpi = GetDeviceCaps(screen.Get(), LOGPIXELSX);
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

void PlaceWithClientSize(HWND hwnd, int x, int y, int width, int height, DWORD style, DWORD exStyle,
                         int dpi) {
    RECT frame = {0, 0, width, height};
    AdjustRectForDpi(frame, style, exStyle, dpi);
    int outerWidth = frame.right - frame.left;
    int outerHeight = frame.bottom - frame.top;
    SetWindowPos(hwnd, nullptr, x, y, outerWidth, outerHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    RECT client;
    if (GetClientRect(hwnd, &client) != FALSE &&
        (client.right != width || client.bottom != height)) {
        outerWidth += width - client.right;
        outerHeight += height - client.bottom;
        SetWindowPos(hwnd, nullptr, 0, 0, outerWidth, outerHeight,
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

HFONT CreateLayoutFont(int dpi) {
    LOGFONTW lf = {};
    lf.lfHeight = -MulDiv(9, dpi, 72);
    lf.lfCharSet = GB2312_CHARSET;
    wcscpy_s(lf.lfFaceName, L"SimSun");
    return CreateFontIndirectW(&lf);
}

}  // namespace ordane
