// How a reading is typed: the keys that carry it into the focused window.
#pragma once

#include <cstdint>
#include <vector>

#include "app/delivery.h"
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

// What typing one key at a time needs from the system.
class KeySender {
  public:
    virtual ~KeySender() = default;
    // False when Windows did not take the key.
    virtual bool Send(const Keystroke& stroke) = 0;
    virtual bool FocusIsOurs() = 0;
    virtual void Wait(std::uint32_t ms) = 0;
};

// Types the strokes keyDelayMs apart. A reading typed this way takes seconds, and the clerk may
// click the tray icon or open the settings dialog meanwhile: the focus is looked at before
// every key, and typing stops where it is in one of this program's windows (Interrupted, with
// the keys sent so far).
DeliveryOutcome TypePaced(const std::vector<Keystroke>& strokes, std::uint32_t keyDelayMs,
                          KeySender& sender);

}  // namespace ordane
