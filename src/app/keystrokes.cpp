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

}  // namespace ordane
