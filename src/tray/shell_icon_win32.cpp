#include "tray/shell_icon_win32.h"

#include <commctrl.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace ordane {

namespace {

// The hook's id on the main window; the icon object it belongs to is its reference data.
constexpr UINT_PTR kTrayHookId = 2025;

// While the shell refuses the icon (not ready yet at log-on), it is offered again this often,
// on a timer of the main window's own (apart from its device timers, kScannerTimerId and
// kCardReaderTimerId).
constexpr UINT_PTR kRetryTimer = 2025;
constexpr UINT kRetryMs = 2000;

// The first-version record's tip field (the shell reads no more, whatever the header's
// record declares).
constexpr std::size_t kTipBytes = 64;
#ifndef _WIN64
static_assert(NOTIFYICONDATAA_V1_SIZE == 88, "the shell's first-version ANSI record");
#endif

// Copies as much of ansi as fits field (with its NUL) without splitting a double-byte
// character, which would show as a stray byte at the end.
template <std::size_t N>
void CopyCut(const std::string& ansi, char (&field)[N]) {
    std::size_t length = 0;
    while (length < ansi.size()) {
        const std::size_t step =
            IsDBCSLeadByte(static_cast<BYTE>(ansi[length])) && length + 1 < ansi.size() ? 2 : 1;
        if (length + step > N - 1) {
            break;
        }
        length += step;
    }
    std::memcpy(field, ansi.data(), length);
    field[length] = '\0';
}

}  // namespace

ShellIcon::ShellIcon(HWND mainWindow, const AnsiCodec& codec, NotifyFn notify)
    : mainWindow_(mainWindow), codec_(codec), notify_(notify) {}

ShellIcon::~ShellIcon() {
    if (added_) {
        RemoveTrayIcon();
    }
}

void ShellIcon::AddTrayIcon() {
    SetWindowSubclass(mainWindow_, &ShellIcon::MainWindowHook, kTrayHookId,
                      reinterpret_cast<DWORD_PTR>(this));
    record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record_.hWnd = mainWindow_;
    record_.uID = 0;
    record_.uCallbackMessage = kTrayCallbackMessage;
    record_.hIcon = reinterpret_cast<HICON>(GetClassLongPtrW(mainWindow_, GCLP_HICON));
    Offer();
    added_ = true;
}

// Adds the icon with everything it carries. An add the shell timed out on may still have
// taken effect, so a refused add counts as present when the icon can be modified.
void ShellIcon::Offer() {
    record_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    present_ = notify_(NIM_ADD, &record_) != FALSE || notify_(NIM_MODIFY, &record_) != FALSE;
    if (present_) {
        KillTimer(mainWindow_, kRetryTimer);
    } else {
        SetTimer(mainWindow_, kRetryTimer, kRetryMs, nullptr);
    }
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
    notify_(NIM_MODIFY, &record_);
}

void ShellIcon::Notify(const Text& title, const Text& text) {
    CopyCut(codec_.Encode(title), record_.szInfoTitle);
    CopyCut(codec_.Encode(text), record_.szInfo);
    record_.dwInfoFlags = NIIF_WARNING | NIIF_NOSOUND;
    record_.uTimeout = 10000;  // how long the balloon stays (the shell bounds it)
    record_.cbSize = NOTIFYICONDATAA_V2_SIZE;
    record_.uFlags = NIF_INFO;
    notify_(NIM_MODIFY, &record_);
    record_.cbSize = NOTIFYICONDATAA_V1_SIZE;
}

void ShellIcon::RemoveTrayIcon() {
    KillTimer(mainWindow_, kRetryTimer);
    record_.uFlags = 0;
    notify_(NIM_DELETE, &record_);
    added_ = false;
    present_ = false;
    RemoveWindowSubclass(mainWindow_, &ShellIcon::MainWindowHook, kTrayHookId);
}

LRESULT CALLBACK ShellIcon::MainWindowHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR, DWORD_PTR self) {
    static const UINT taskbarCreated = RegisterWindowMessageW(L"TaskbarCreated");
    auto* icon = reinterpret_cast<ShellIcon*>(self);
    if (msg == kTrayCallbackMessage && lParam == WM_LBUTTONUP) {
        if (icon->clicked_) {
            icon->clicked_();
        }
    } else if ((msg == taskbarCreated && taskbarCreated != 0) ||
               (msg == WM_TIMER && wParam == kRetryTimer)) {
        // Explorer restarted and lost the icon, or the shell refused it before: add it again
        // with its tip.
        icon->Offer();
        if (msg == WM_TIMER) {
            return 0;
        }
    }
    return DefSubclassProc(hwnd, msg, wParam, lParam);
}

}  // namespace ordane
