// The business application as delivery sees it. typed holds every text the program tried to
// type (with or without Enter), whether Windows took its keys or not; received holds only the
// window texts that reached the target's first child, titles every title asked for. What each
// call returns is set by the flags: no target window, a target that does not answer in time,
// keys refused after a number of them went out, the focus in one of the program's own windows.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "app/delivery.h"
#include "app/keystrokes.h"
#include "doubles/fake_pump.h"

namespace ordane::test {

class FakeDelivery final : public Delivery {
  public:
    struct Typed {
        Text text;
        bool enter;
        bool operator==(const Typed&) const = default;
    };
    DeliveryOutcome TypeText(const Text& text, bool addEnter) override {
        typed.push_back({text, addEnter});
        const std::size_t total = KeystrokesFor(text, addEnter).size();
        if (keysRefusedAfter && *keysRefusedAfter < total) {
            return {DeliveryResult::KeysRefused, *keysRefusedAfter, total};
        }
        return {DeliveryResult::Delivered, total, total};
    }
    DeliveryOutcome TypeTextPaced(const Text& text, bool addEnter,
                                  std::uint32_t keyDelayMs) override {
        pacedDelays.push_back(keyDelayMs);
        return TypeText(text, addEnter);
    }
    DeliveryOutcome SetFirstChildText(const Text& windowTitle, const Text& text) override {
        titles.push_back(windowTitle);
        if (pump != nullptr && windowTextMs > 0) {
            pump->Advance(windowTextMs);  // a slow target holds the sender that long
        }
        if (!targetPresent) {
            return {DeliveryResult::NoTargetWindow};
        }
        if (targetTimesOut) {
            return {DeliveryResult::TargetTimedOut};
        }
        received.push_back(text);
        childText = text;
        return {DeliveryResult::Delivered};
    }
    std::optional<Text> FirstChildText(const Text&) override {
        if (!targetPresent || targetTimesOut) {
            return std::nullopt;
        }
        return childText;
    }
    bool FocusIsOurs() override { return focusIsOurs; }
    bool FocusRefusesKeys() override { return focusRefusesKeys; }

    bool targetPresent = true;
    bool targetTimesOut = false;
    // Windows takes this many keystrokes of a text and refuses the rest.
    std::optional<std::size_t> keysRefusedAfter;
    bool focusIsOurs = false;
    bool focusRefusesKeys = false;  // the focus is in an elevated application
    // How long the target takes to handle a window text, on pump's clock.
    FakePump* pump = nullptr;
    std::uint32_t windowTextMs = 0;
    std::vector<Typed> typed;
    std::vector<std::uint32_t> pacedDelays;  // one per paced text
    std::vector<Text> received;
    Text childText;  // what the target's first child shows
    std::vector<Text> titles;
};

}  // namespace ordane::test
