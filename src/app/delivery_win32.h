// Delivery to the business application: injected keystrokes and window text.
#pragma once

#include <windows.h>

#include <cstdint>

#include "app/delivery.h"
#include "app/scan_settings.h"

namespace ordane {

class DeliveryWin32 final : public Delivery {
  public:
    // sendTimeoutMs: how long setting the window text may wait for the target application.
    static constexpr std::uint32_t kSendTimeoutMs = 5000;
    explicit DeliveryWin32(std::uint32_t sendTimeoutMs = kSendTimeoutMs,
                           KeyMode keyMode = KeyMode::Unicode)
        : sendTimeoutMs_(sendTimeoutMs), keyMode_(keyMode) {}

    // The keys KeystrokesFor gives: a character as a Unicode character (KEYEVENTF_UNICODE),
    // so it arrives literally whatever the keyboard layout or input method; Enter, Tab, Escape
    // and Backspace as their virtual keys. With KeyMode::Keys an ASCII character the focused
    // window's layout types without Ctrl or Alt goes as that layout's virtual key with its scan
    // code, Shift around it as needed. All keys are queued in one SendInput batch; the keys
    // sent are those all of whose events SendInput says it inserted.
    DeliveryOutcome TypeText(const Text& text, bool addEnter) override;
    // One keystroke (down and up) per SendInput, keyDelayMs apart.
    DeliveryOutcome TypeTextPaced(const Text& text, bool addEnter,
                                  std::uint32_t keyDelayMs) override;
    // WM_SETTEXT with a bounded wait, abandoned when the target is hung; a target that answers
    // but refuses the text (FALSE) did not take it either.
    DeliveryOutcome SetFirstChildText(const Text& windowTitle, const Text& text) override;
    // WM_GETTEXT with a short wait, abandoned at once when the target is hung.
    std::optional<Text> FirstChildText(const Text& windowTitle) override;
    // The focus of the foreground window's thread, or the foreground window itself when that
    // thread tells nothing, belongs to this process.
    bool FocusIsOurs() override;
    // Compares the mandatory integrity levels of the focused window's process and this one. A
    // process that may not even be asked is taken as above (an elevated or protected one).
    bool FocusRefusesKeys() override;

  private:
    std::uint32_t sendTimeoutMs_;
    KeyMode keyMode_;
    // The last paced key's time: a reading typed right after another waits the delay too.
    // Used only by the one worker that types paced keys.
    bool pacedBefore_ = false;
    DWORD lastPacedKeyAt_ = 0;
};

}  // namespace ordane
