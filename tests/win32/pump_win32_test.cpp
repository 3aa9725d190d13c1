#include <gtest/gtest.h>

#include <windows.h>

#include "common/message_pump_win32.h"
#include "common/delay.h"

namespace ordane {
namespace {

int g_handled = 0;

LRESULT CALLBACK CountingProc(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_APP) {
        ++g_handled;
        return 0;
    }
    return DefWindowProcW(window, msg, wParam, lParam);
}

// The program is asked to end while a device exchange waits: the wait dispatches what came
// before the quit and leaves the quit itself for the main message loop, which ends the program.
TEST(MessagePumpWin32Test, AQuitDuringADelayIsLeftForTheMainLoop) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"OrdanePumpTestWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_APP, 0, 0);
    PostQuitMessage(7);
    MessagePumpWin32 pump;
    Delay(pump, 0.2);
    EXPECT_EQ(g_handled, 1);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 7u);
    DestroyWindow(window);
}

}  // namespace
}  // namespace ordane
