// Hands a finished reading to the business application, and says what became of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "common/text.h"

namespace ordane {

enum class DeliveryResult {
    Delivered,
    NoTargetWindow,  // no window with the title, or it has no child
    // The target did not take the window text within its bound. Windows does not withdraw a
    // message the target already received, so it may still take it: the outcome is unknown.
    TargetTimedOut,
    KeysRefused,    // Windows took fewer keys than were sent (an elevated target, a secure desktop)
    HeldTooLong,    // our own window kept the focus past the bound: not typed
    DroppedAtExit,  // the program ended before it could be typed
    Interrupted,    // typing stopped part-way: the focus came to one of our windows
    WaitedTooLong,  // waited past the bound behind a reading typed slowly
    TypingAtExit,   // still being typed when the program ended: how far it got is unknown
};

struct DeliveryOutcome {
    DeliveryResult result = DeliveryResult::Delivered;
    // Keystrokes (key down and up count as one) Windows took, of those sent.
    std::size_t keysSent = 0;
    std::size_t keysTotal = 0;
    bool Delivered() const { return result == DeliveryResult::Delivered; }
    // Whether the reading reached the business application; no value when that is unknown.
    std::optional<bool> Arrived() const {
        if (result == DeliveryResult::TargetTimedOut) {
            return std::nullopt;
        }
        return Delivered();
    }
    bool operator==(const DeliveryOutcome&) const = default;
};

class Delivery {
  public:
    virtual ~Delivery() = default;
    // Types the text into the window that has the keyboard focus as KeystrokesFor gives it,
    // then Enter when asked; does not wait for the receiver.
    virtual DeliveryOutcome TypeText(const Text& text, bool addEnter) = 0;
    // As TypeText, with keyDelayMs between keystrokes for a target that drops fast input. It
    // returns only once the last key went out, so it is called on a worker, never on the
    // user-interface thread.
    virtual DeliveryOutcome TypeTextPaced(const Text& text, bool addEnter,
                                          std::uint32_t keyDelayMs) = 0;
    // Sets the text of the first child of the top-level window with exactly this title, with
    // a bounded wait for the target.
    virtual DeliveryOutcome SetFirstChildText(const Text& windowTitle, const Text& text) = 0;
    // The text of that child as it answers within a short wait; no value while it does not
    // answer (or the window is gone). Asks after a window text whose outcome was unknown.
    virtual std::optional<Text> FirstChildText(const Text& windowTitle) = 0;
    // True while the keyboard focus is in one of this program's own windows (the main window,
    // the settings dialog): keys typed now would press its controls.
    virtual bool FocusIsOurs() = 0;
    // True when the focused window belongs to a process of a higher integrity level than this
    // one (a business application started as administrator): Windows drops every key sent to
    // it while SendInput still reports them inserted.
    virtual bool FocusRefusesKeys() = 0;
};

}  // namespace ordane
