// What the tray icon hands to the shell, recorded as the shell would receive it (the retry
// while the shell refuses the icon is tested in tests/win32/adapters/shell_icon_win32_test.cpp).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/ansi_codec_win32.h"
#include "tray/shell_icon_win32.h"

namespace ordane {
namespace {

std::vector<std::pair<DWORD, NOTIFYICONDATAA>> g_calls;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAA record) {
    NOTIFYICONDATAA copy{};
    std::memcpy(&copy, record, std::min<std::size_t>(record->cbSize, sizeof copy));
    g_calls.emplace_back(message, copy);
    return TRUE;
}

TEST(TrayIconWin32Test, RegistersItsCallbackIconAndTipAndComesBackAfterExplorerRestarts) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32512));  // IDI_APPLICATION
    windowClass.lpszClassName = L"OrdaneTrayTestWindow";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 10, 10,
                                  nullptr, nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    const UINT required = NIF_MESSAGE | NIF_ICON;
    AnsiCodecWin32 codec;
    {
        ShellIcon icon(window, codec, &RecordNotify);
        // In the program the click goes to FrmMain::OnTrayClick, which shows the hidden window.
        icon.OnClick([window] { ShowWindow(window, SW_SHOW); });
        icon.AddTrayIcon();
        icon.SetTrayTip(u"Ordane");
        ASSERT_EQ(g_calls.size(), 2u);
        const NOTIFYICONDATAA added = g_calls[0].second;  // a copy: the vector grows
        EXPECT_EQ(g_calls[0].first, static_cast<DWORD>(NIM_ADD));
        // The first-version record, 64 bytes of tip: 88 bytes, or 104 with 64-bit handles.
        EXPECT_EQ(added.cbSize, sizeof(void*) == 8 ? 104u : 88u);
        EXPECT_EQ(added.hWnd, window);
        EXPECT_EQ(added.uFlags & required, required);
        EXPECT_EQ(added.uCallbackMessage, 2025u);
        EXPECT_EQ(added.hIcon, windowClass.hIcon);
        const NOTIFYICONDATAA& tip = g_calls[1].second;
        EXPECT_EQ(tip.uFlags & NIF_TIP, static_cast<UINT>(NIF_TIP));
        EXPECT_EQ(std::string(tip.szTip, 64),
                  "Ordane" + std::string(1, '\0') + std::string(57, ' '));

        // A reading that went nowhere: a warning balloon, cut to its fields between whole
        // characters (code page 936: two bytes each), in a record that carries them.
        const Text longText(200, u'\u672A');
        icon.Notify(u"未送达", longText);
        ASSERT_EQ(g_calls.size(), 3u);
        EXPECT_EQ(g_calls[2].first, static_cast<DWORD>(NIM_MODIFY));
        const NOTIFYICONDATAA& balloon = g_calls[2].second;
        EXPECT_EQ(balloon.cbSize, static_cast<DWORD>(NOTIFYICONDATAA_V2_SIZE));
        EXPECT_EQ(balloon.uFlags, static_cast<UINT>(NIF_INFO));
        EXPECT_EQ(balloon.dwInfoFlags & NIIF_WARNING, static_cast<DWORD>(NIIF_WARNING));
        EXPECT_EQ(std::string(balloon.szInfoTitle), codec.Encode(u"未送达"));
        EXPECT_EQ(std::string(balloon.szInfo), codec.Encode(Text(127, u'\u672A')));

        // Explorer restarted: the icon is added again with everything it carries.
        SendMessageW(window, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
        ASSERT_EQ(g_calls.back().first, static_cast<DWORD>(NIM_ADD));
        const NOTIFYICONDATAA& again = g_calls.back().second;
        EXPECT_EQ(again.cbSize, added.cbSize);
        EXPECT_EQ(again.uFlags & NIF_INFO, 0u);  // the balloon is not shown again
        EXPECT_EQ(again.uFlags & (required | NIF_TIP), required | NIF_TIP);
        EXPECT_EQ(again.uCallbackMessage, 2025u);
        EXPECT_EQ(again.hIcon, windowClass.hIcon);
        EXPECT_STREQ(again.szTip, "Ordane");

        // A left click on the icon shows the hidden window.
        SendMessageW(window, 2025, 0, WM_LBUTTONUP);
        EXPECT_TRUE(IsWindowVisible(window));
        ShowWindow(window, SW_HIDE);

        icon.RemoveTrayIcon();  // as the main window's unload does at exit
        EXPECT_EQ(g_calls.back().first, static_cast<DWORD>(NIM_DELETE));
        EXPECT_EQ(g_calls.back().second.hWnd, window);
        EXPECT_EQ(g_calls.back().second.uID, added.uID);
        // The window procedure is its own again: the icon's message does nothing.
        SendMessageW(window, 2025, 0, WM_LBUTTONUP);
        EXPECT_FALSE(IsWindowVisible(window));
    }
    DestroyWindow(window);
}

}  // namespace
}  // namespace ordane
