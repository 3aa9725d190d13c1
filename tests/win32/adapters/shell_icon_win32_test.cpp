#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <vector>

#include "common/ansi_codec_win32.h"
#include "tray/shell_icon_win32.h"

namespace ordane {
namespace {

// The shell at log-on: it refuses icons until it is ready; what it is told is kept.
bool g_shellReady = false;
std::vector<std::pair<DWORD, NOTIFYICONDATAA>> g_told;
BOOL WINAPI FakeShell(DWORD message, PNOTIFYICONDATAA record) {
    g_told.emplace_back(message, *record);
    return g_shellReady ? TRUE : FALSE;
}

// Dispatches messages until `done` holds or a deadline far beyond the 2 s retry passes, so a
// loaded machine that delays the retry timer cannot decide the outcome.
template <typename Done>
void PumpUntil(Done done) {
    for (const ULONGLONG end = GetTickCount64() + 20000; !done() && GetTickCount64() < end;
         Sleep(10)) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&message);
        }
    }
}

std::size_t Adds() {
    return static_cast<std::size_t>(std::count_if(
        g_told.begin(), g_told.end(), [](const auto& told) { return told.first == NIM_ADD; }));
}

TEST(ShellIconWin32Test, IconTheShellRefusedIsAddedWithItsTipOnceTheShellIsReady) {
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    AnsiCodecWin32 codec;
    ShellIcon icon(window, codec, &FakeShell);
    icon.AddTrayIcon();
    icon.SetTrayTip(u"Ordane");
    PumpUntil([] { return Adds() >= 2; });  // offered again while refused
    ASSERT_GE(Adds(), 2u);
    EXPECT_FALSE(icon.IconPresent());

    g_shellReady = true;
    PumpUntil([&icon] { return icon.IconPresent(); });
    EXPECT_TRUE(icon.IconPresent());
    const auto& [message, record] = g_told.back();
    EXPECT_EQ(message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(record.uFlags, static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP));
    EXPECT_STREQ(record.szTip, "Ordane");
    icon.RemoveTrayIcon();
    DestroyWindow(window);
}

}  // namespace
}  // namespace ordane
