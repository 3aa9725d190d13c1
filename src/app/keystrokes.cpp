#include "app/keystrokes.h"

namespace ordane {

std::vector<Keystroke> KeystrokesFor(const Text& text, bool addEnter) {
    std::vector<Keystroke> keys;
    keys.reserve(text.size() + 1);
    for (char16_t unit : text) {
        switch (unit) {
            case u'\r':
                keys.push_back({Keystroke::Key::kEnter});
                break;
            case u'\t':
                keys.push_back({Keystroke::Key::kTab});
                break;
            case u'\x1B':
                keys.push_back({Keystroke::Key::kEscape});
                break;
            case u'\b':
                keys.push_back({Keystroke::Key::kBackspace});
                break;
            default:
                keys.push_back({Keystroke::Key::kCharacter, unit});
        }
    }
    if (addEnter) {
        keys.push_back({Keystroke::Key::kEnter});
    }
    return keys;
}

DeliveryOutcome TypePaced(const std::vector<Keystroke>& strokes, std::uint32_t keyDelayMs,
                          KeySender& sender) {
    DeliveryOutcome outcome;
    outcome.keysTotal = strokes.size();
    for (std::size_t i = 0; i < strokes.size(); ++i) {
        if (i > 0) {
            sender.Wait(keyDelayMs);
        }
        if (sender.FocusIsOurs()) {
            outcome.result = DeliveryResult::Interrupted;
            return outcome;
        }
        if (!sender.Send(strokes[i])) {
            outcome.result = DeliveryResult::KeysRefused;
            return outcome;  // the rest would arrive without the key that was refused
        }
        ++outcome.keysSent;
    }
    return outcome;
}

}  // namespace ordane
