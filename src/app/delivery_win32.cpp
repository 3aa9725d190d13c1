#include "app/delivery_win32.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/keystrokes.h"
#include "common/handle_win32.h"
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

// The focused window's keyboard layout: keys are read in it, so they are made in it.
HKL FocusLayout() {
    const HWND foreground = GetForegroundWindow();
    return GetKeyboardLayout(foreground != nullptr ? GetWindowThreadProcessId(foreground, nullptr)
                                                   : 0);
}

// The key (and Shift) that types an ASCII character in this layout; false when it takes more
// than Shift (Ctrl, Alt Gr), or no key types it.
bool LayoutKey(char16_t unit, HKL layout, std::vector<INPUT>& inputs) {
    if (unit >= 0x80 || unit < 0x20) {
        return false;
    }
    const SHORT found = VkKeyScanExW(static_cast<WCHAR>(unit), layout);
    if (found == -1 || (HIBYTE(found) & ~1) != 0) {
        return false;
    }
    const auto key = static_cast<WORD>(LOBYTE(found));
    const bool shift = (HIBYTE(found) & 1) != 0;
    const auto scan = static_cast<WORD>(MapVirtualKeyExW(key, MAPVK_VK_TO_VSC, layout));
    const auto shiftScan = static_cast<WORD>(MapVirtualKeyExW(VK_SHIFT, MAPVK_VK_TO_VSC, layout));
    if (shift) {
        inputs.push_back(Key(VK_SHIFT, shiftScan, 0));
    }
    inputs.push_back(Key(key, scan, 0));
    inputs.push_back(Key(key, scan, KEYEVENTF_KEYUP));
    if (shift) {
        inputs.push_back(Key(VK_SHIFT, shiftScan, KEYEVENTF_KEYUP));
    }
    return true;
}

void AddKeystroke(const Keystroke& stroke, KeyMode mode, HKL layout, std::vector<INPUT>& inputs) {
    if (stroke.key == Keystroke::Key::kCharacter && mode == KeyMode::Keys &&
        LayoutKey(stroke.unit, layout, inputs)) {
        return;
    }
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

// The focus of the foreground window's thread, or the foreground window itself when that
// thread tells nothing; null when no window is in the foreground.
HWND FocusedWindow() {
    const HWND foreground = GetForegroundWindow();
    if (foreground == nullptr) {
        return nullptr;
    }
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (GetGUIThreadInfo(GetWindowThreadProcessId(foreground, nullptr), &info) &&
        info.hwndFocus != nullptr) {
        return info.hwndFocus;
    }
    return foreground;
}

// The integrity level (SECURITY_MANDATORY_*_RID) of a process's token; false when it cannot
// be read, accessDenied telling whether the process refused to be asked.
bool IntegrityLevel(HANDLE process, DWORD& level, bool& accessDenied) {
    accessDenied = false;
    HANDLE tokenHandle = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &tokenHandle)) {
        accessDenied = GetLastError() == ERROR_ACCESS_DENIED;
        return false;
    }
    const UniqueHandle token(tokenHandle);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenIntegrityLevel, nullptr, 0, &size);
    std::vector<std::uint8_t> buffer(size);
    if (size == 0 ||
        !GetTokenInformation(token.Get(), TokenIntegrityLevel, buffer.data(), size, &size)) {
        return false;
    }
    const auto* label = reinterpret_cast<const TOKEN_MANDATORY_LABEL*>(buffer.data());
    const UCHAR count = *GetSidSubAuthorityCount(label->Label.Sid);
    if (count == 0) {
        return false;
    }
    level = *GetSidSubAuthority(label->Label.Sid, count - 1U);
    return true;
}

}  // namespace

bool DeliveryWin32::FocusRefusesKeys() {
    const HWND focus = FocusedWindow();
    DWORD processId = 0;
    if (focus == nullptr || GetWindowThreadProcessId(focus, &processId) == 0 ||
        processId == GetCurrentProcessId()) {
        return false;
    }
    HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    const DWORD openError = GetLastError();
    const UniqueHandle process(opened);
    if (!process.Valid()) {
        return openError == ERROR_ACCESS_DENIED;
    }
    DWORD theirs = 0;
    DWORD ours = 0;
    bool denied = false;
    bool ownDenied = false;
    if (!IntegrityLevel(process.Get(), theirs, denied)) {
        return denied;
    }
    return IntegrityLevel(GetCurrentProcess(), ours, ownDenied) && theirs > ours;
}

DeliveryOutcome DeliveryWin32::TypeTextPaced(const Text& text, bool addEnter,
                                             std::uint32_t keyDelayMs) {
    // One keystroke per SendInput, on the typing worker.
    class Sender final : public KeySender {
      public:
        Sender(DeliveryWin32& delivery) : delivery_(delivery) {}
        bool Send(const Keystroke& stroke) override {
            std::vector<INPUT> inputs;
            AddKeystroke(stroke, delivery_.keyMode_, FocusLayout(), inputs);
            const bool taken = SendInput(static_cast<UINT>(inputs.size()), inputs.data(),
                                         sizeof(INPUT)) == inputs.size();
            delivery_.pacedBefore_ = true;
            delivery_.lastPacedKeyAt_ = GetTickCount();
            return taken;
        }
        bool FocusIsOurs() override { return delivery_.FocusIsOurs(); }
        void Wait(std::uint32_t ms) override { Sleep(ms); }

      private:
        DeliveryWin32& delivery_;
    } sender(*this);
    if (pacedBefore_) {
        // A reading typed right after another waits the delay too.
        const DWORD since = GetTickCount() - lastPacedKeyAt_;
        if (since < keyDelayMs) {
            Sleep(keyDelayMs - since);
        }
    }
    return TypePaced(KeystrokesFor(text, addEnter), keyDelayMs, sender);
}

DeliveryOutcome DeliveryWin32::TypeText(const Text& text, bool addEnter) {
    const std::vector<Keystroke> strokes = KeystrokesFor(text, addEnter);
    const HKL layout = FocusLayout();
    std::vector<INPUT> inputs;
    std::vector<std::size_t> ends;  // where each keystroke's events end
    for (const Keystroke& stroke : strokes) {
        AddKeystroke(stroke, keyMode_, layout, inputs);
        ends.push_back(inputs.size());
    }
    UINT inserted = 0;
    if (!inputs.empty()) {
        inserted = SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    }
    DeliveryOutcome outcome;
    outcome.keysTotal = strokes.size();
    outcome.keysSent = static_cast<std::size_t>(
        std::upper_bound(ends.begin(), ends.end(), static_cast<std::size_t>(inserted)) -
        ends.begin());
    outcome.result =
        inserted == inputs.size() ? DeliveryResult::Delivered : DeliveryResult::KeysRefused;
    return outcome;
}

DeliveryOutcome DeliveryWin32::SetFirstChildText(const Text& windowTitle, const Text& text) {
    const HWND target = FindWindowW(nullptr, Wide(windowTitle));
    const HWND child = target != nullptr ? GetWindow(target, GW_CHILD) : nullptr;
    if (child == nullptr) {
        return {DeliveryResult::NoTargetWindow};
    }
    // What the child answers is not looked at: a business application may handle the text
    // itself and answer 0. Only a target that did not take it in time failed.
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                            SMTO_ABORTIFHUNG | SMTO_NORMAL, sendTimeoutMs_, &result) == 0) {
        return {DeliveryResult::TargetTimedOut};
    }
    return {DeliveryResult::Delivered};
}

std::optional<Text> DeliveryWin32::FirstChildText(const Text& windowTitle) {
    constexpr UINT kAskMs = 100;  // asked from the window's thread: never long
    const HWND target = FindWindowW(nullptr, Wide(windowTitle));
    const HWND child = target != nullptr ? GetWindow(target, GW_CHILD) : nullptr;
    DWORD_PTR length = 0;
    if (child == nullptr || SendMessageTimeoutW(child, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG,
                                                kAskMs, &length) == 0) {
        return std::nullopt;
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (SendMessageTimeoutW(child, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                            SMTO_ABORTIFHUNG, kAskMs, &copied) == 0) {
        return std::nullopt;
    }
    text.resize(std::min<std::size_t>(copied, length));
    return Text(text.begin(), text.end());
}

bool DeliveryWin32::FocusIsOurs() {
    const HWND focus = FocusedWindow();
    if (focus == nullptr) {
        return false;
    }
    DWORD process = 0;
    return GetWindowThreadProcessId(focus, &process) != 0 && process == GetCurrentProcessId();
}

}  // namespace ordane
