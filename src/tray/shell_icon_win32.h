// The notification-area icon of the main window and the hook on the main window's procedure
// that hands a click on the icon to the main window's logic.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <utility>

#include "tray/tray_icon.h"

namespace ordane {

inline constexpr UINT kTrayCallbackMessage = 2025;

class ShellIcon final : public TrayIcon {
  public:
    // How the icon reaches the shell: Shell_NotifyIconA, or a stand-in under test.
    using NotifyFn = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAA record);

    ShellIcon(HWND mainWindow, const AnsiCodec& codec, NotifyFn notify = &Shell_NotifyIconA);
    ~ShellIcon() override;
    ShellIcon(const ShellIcon&) = delete;
    ShellIcon& operator=(const ShellIcon&) = delete;

    void AddTrayIcon() override;
    void SetTrayTip(const Text& tip) override;
    void RemoveTrayIcon() override;
    bool IconPresent() override { return present_; }
    // A warning balloon through NIM_MODIFY with the second-version record (the first has no
    // balloon fields); the shell shows it without activating anything. No sound: the beep
    // already said a reading was taken. Title and text are cut to their fields.
    void Notify(const Text& title, const Text& text) override;
    // Where a left click on the icon goes: the main window's logic decides what it does.
    void OnClick(std::function<void()> clicked) { clicked_ = std::move(clicked); }

  private:
    void Offer();
    // A subclass of the main window (SetWindowSubclass) whose reference data is this icon.
    static LRESULT CALLBACK MainWindowHook(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR id, DWORD_PTR self);

    HWND mainWindow_;
    const AnsiCodec& codec_;
    NotifyFn notify_;
    std::function<void()> clicked_;
    // The first-version record (88 bytes on a 32-bit build): every call reuses it, a balloon
    // with the second version's size.
    NOTIFYICONDATAA record_ = {};
    bool added_ = false;
    // The shell accepted the icon.
    bool present_ = false;
};

}  // namespace ordane
