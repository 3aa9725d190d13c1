#include "desktop/shell_icon_win32.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace ordane {

namespace {

// What Windows forces to be global: the procedure the main window had before the hook, and
// the icon the hook adds again when Explorer restarts.
WNDPROC g_previousProc = nullptr;
ShellIcon* g_hookedIcon = nullptr;
UINT g_taskbarCreated = 0;

constexpr std::size_t kTipBytes = sizeof(NOTIFYICONDATAA::szTip);

}  // namespace

ShellIcon::ShellIcon(HWND mainWindow, const AnsiCodec& codec)
    : mainWindow_(mainWindow), codec_(codec) {}

ShellIcon::~ShellIcon() {
    if (added_) {
        RemoveTrayIcon();
    }
}

void ShellIcon::AddTrayIcon() {
    g_hookedIcon = this;
    g_taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    g_previousProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        mainWindow_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ShellIcon::MainWindowHook)));
    record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record_.hWnd = mainWindow_;
    record_.uID = 0;
    record_.uFlags = NIF_MESSAGE | NIF_ICON;
    record_.uCallbackMessage = kTrayCallbackMessage;
    record_.hIcon = reinterpret_cast<HICON>(GetClassLongPtrW(mainWindow_, GCLP_HICON));
    Shell_NotifyIconA(NIM_ADD, &record_);
    added_ = true;
}

// The tip field holds the text, a NUL and spaces up to its 64 bytes; a longer tip is cut so
// that the NUL still fits.
void ShellIcon::SetTrayTip(const Text& tip) {
    const std::string ansi = codec_.Encode(tip);
    std::memset(record_.szTip, ' ', kTipBytes);
    const std::size_t length = std::min(ansi.size(), kTipBytes - 1);
    std::memcpy(record_.szTip, ansi.data(), length);
    record_.szTip[length] = '\0';
    record_.uFlags = NIF_TIP;
    Shell_NotifyIconA(NIM_MODIFY, &record_);
}

void ShellIcon::RemoveTrayIcon() {
    record_.uFlags = 0;
    Shell_NotifyIconA(NIM_DELETE, &record_);
    added_ = false;
    if (g_previousProc != nullptr) {
        SetWindowLongPtrW(mainWindow_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(g_previousProc));
    }
    g_hookedIcon = nullptr;
}

LRESULT CALLBACK ShellIcon::MainWindowHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kTrayCallbackMessage && lParam == WM_LBUTTONUP && !IsWindowVisible(hwnd)) {
        ShowWindow(hwnd, SW_SHOW);
    } else if (msg == g_taskbarCreated && g_taskbarCreated != 0 && g_hookedIcon != nullptr) {
        // Explorer restarted and lost the icon: add it again with its tip.
        NOTIFYICONDATAA& record = g_hookedIcon->record_;
        record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
        Shell_NotifyIconA(NIM_ADD, &record);
    }
    return CallWindowProcW(g_previousProc, hwnd, msg, wParam, lParam);
}

}  // namespace ordane
