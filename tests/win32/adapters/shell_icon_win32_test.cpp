#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "common/ansi_codec_win32.h"
#include "desktop/shell_icon_win32.h"

namespace ordane {
namespace {

// The shell as the icon meets it at log-on: it refuses icons until it is ready.
struct FakeShell {
    static inline bool ready = false;
    static inline std::vector<std::pair<DWORD, NOTIFYICONDATAA>> calls;
    static BOOL WINAPI Notify(DWORD message, PNOTIFYICONDATAA record) {
        calls.emplace_back(message, *record);
        return ready || message == NIM_DELETE ? TRUE : FALSE;
    }
    static int Adds() {
        int adds = 0;
        for (const auto& call : calls) {
            adds += call.first == NIM_ADD ? 1 : 0;
        }
        return adds;
    }
};

void Pump(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
        Sleep(10);
    }
}

TEST(ShellIconWin32Test, IconTheShellRefusedIsAddedOnceTheShellIsReady) {
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    AnsiCodecWin32 codec;
    {
        ShellIcon icon(window, codec, &FakeShell::Notify);
        icon.AddTrayIcon();
        icon.SetTrayTip(u"Ordane");
        EXPECT_FALSE(icon.IconPresent());
        Pump(2500);
        EXPECT_FALSE(icon.IconPresent());
        EXPECT_GE(FakeShell::Adds(), 2);

        FakeShell::ready = true;
        Pump(2500);
        EXPECT_TRUE(icon.IconPresent());
        ASSERT_FALSE(FakeShell::calls.empty());
        const auto& [message, record] = FakeShell::calls.back();
        EXPECT_EQ(message, static_cast<DWORD>(NIM_ADD));
        EXPECT_EQ(record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
        EXPECT_STREQ(record.szTip, "Ordane");
        EXPECT_EQ(record.hWnd, window);
    }
    DestroyWindow(window);
}

}  // namespace
}  // namespace ordane
