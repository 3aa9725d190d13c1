#include "app/delivery_win32.h"

#include <windows.h>

#include <vector>

#include "app/keystrokes.h"
#include "common/wide_win32.h"

namespace ordane {

namespace {

INPUT Key(WORD virtualKey, WORD scanOrUnit, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = scanOrUnit;
    input.ki.dwFlags = flags;
    return input;
}

WORD VirtualKey(Keystroke::Key key) {
    switch (key) {
        case Keystroke::Key::kEnter:
            return VK_RETURN;
        case Keystroke::Key::kTab:
            return VK_TAB;
        case Keystroke::Key::kEscape:
            return VK_ESCAPE;
        case Keystroke::Key::kBackspace:
            return VK_BACK;
        case Keystroke::Key::kCharacter:
            break;
    }
    return 0;
}

}  // namespace

void DeliveryWin32::TypeText(const Text& text, bool addEnter) {
    std::vector<INPUT> inputs;
    for (const Keystroke& stroke : KeystrokesFor(text, addEnter)) {
        if (stroke.key == Keystroke::Key::kCharacter) {
            inputs.push_back(Key(0, stroke.unit, KEYEVENTF_UNICODE));
            inputs.push_back(Key(0, stroke.unit, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
        } else {
            const WORD key = VirtualKey(stroke.key);
            const auto scan = static_cast<WORD>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC));
            inputs.push_back(Key(key, scan, 0));
            inputs.push_back(Key(key, scan, KEYEVENTF_KEYUP));
        }
    }
    if (!inputs.empty()) {
        SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    }
}

void DeliveryWin32::SetFirstChildText(const Text& windowTitle, const Text& text) {
    const HWND target = FindWindowW(nullptr, Wide(windowTitle));
    if (target == nullptr) {
        return;
    }
    const HWND child = GetWindow(target, GW_CHILD);
    if (child == nullptr) {
        return;
    }
    DWORD_PTR result = 0;
    SendMessageTimeoutW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG | SMTO_NORMAL, sendTimeoutMs_, &result);
}

}  // namespace ordane
