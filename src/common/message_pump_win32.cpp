#include "common/message_pump_win32.h"

#include <windows.h>
#include <mmsystem.h>

namespace ordane {

std::uint32_t MessagePumpWin32::TickCount() {
    return timeGetTime();
}

void MessagePumpWin32::Sleep(std::uint32_t ms) {
    ::Sleep(ms);
}

void MessagePumpWin32::DoEvents() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // The program is ending; leave the quit for the outermost message loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

}  // namespace ordane
