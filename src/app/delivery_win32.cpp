#include "app/delivery_win32.h"

#include <windows.h>

#include <vector>

#include "common/wide_win32.h"

namespace ordane {

namespace {

INPUT Key(WORD virtualKey, WORD unit, DWORD flags) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = virtualKey;
    input.ki.wScan = unit;
    input.ki.dwFlags = flags;
    return input;
}

void AddEnter(std::vector<INPUT>& inputs) {
    inputs.push_back(Key(VK_RETURN, 0, 0));
    inputs.push_back(Key(VK_RETURN, 0, KEYEVENTF_KEYUP));
}

}  // namespace

void DeliveryWin32::TypeText(const Text& text, bool addEnter) {
    std::vector<INPUT> inputs;
    inputs.reserve(2 * text.size() + 2);
    for (char16_t unit : text) {
        if (unit == u'\r') {
            AddEnter(inputs);
        } else {
            inputs.push_back(Key(0, unit, KEYEVENTF_UNICODE));
            inputs.push_back(Key(0, unit, KEYEVENTF_UNICODE | KEYEVENTF_KEYUP));
        }
    }
    if (addEnter) {
        AddEnter(inputs);
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
