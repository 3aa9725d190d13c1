// How a reading is typed: the keys that carry it into the focused window.
#pragma once

#include <vector>

#include "common/text.h"

namespace ordane {

struct Keystroke {
    // A key of its own, or one UTF-16 unit typed as a character whatever the keyboard layout.
    enum class Key { kCharacter, kEnter, kTab, kEscape, kBackspace };
    Key key = Key::kCharacter;
    char16_t unit = 0;  // for kCharacter only

    bool operator==(const Keystroke&) const = default;
};

// Carriage return is the Enter key; Tab, Escape and Backspace are their keys, so that a
// scanner's Tab suffix moves to the next field of a form. Every other unit is typed as a
// character. addEnter appends one Enter.
std::vector<Keystroke> KeystrokesFor(const Text& text, bool addEnter);

}  // namespace ordane
