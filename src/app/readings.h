// What the main window's logic tells the browser pages (the bridge): each reading with whether
// it reached the business application, and the status texts as they change. Calls never wait
// for a page.
#pragma once

#include <optional>

#include "app/card_record.h"
#include "common/text.h"

namespace ordane {

// Typed, set as the target window's text, or taken by a page instead of being typed.
enum class ScanDelivery { Keys, Window, Page };

// A device's state for a page's logic, from its supervisor's phase: rewording a status line
// changes nothing a page tests.
enum class DeviceState { Off, NotSetUp, Identifying, Ready, NotAnswering, Failed };

// The state's name in the bridge's messages.
inline const char* DeviceStateName(DeviceState state) {
    switch (state) {
        case DeviceState::NotSetUp:
            return "notSetUp";
        case DeviceState::Identifying:
            return "identifying";
        case DeviceState::Ready:
            return "ready";
        case DeviceState::NotAnswering:
            return "notAnswering";
        case DeviceState::Failed:
            return "failed";
        case DeviceState::Off:
            break;
    }
    return "off";
}

struct DeviceStatus {
    Text status;  // the status line as the main window shows it
    Text model;   // the model line without its prefix; empty until a device is identified
    DeviceState state = DeviceState::Off;
    bool operator==(const DeviceStatus&) const = default;
};

struct ReadingsStatus {
    DeviceStatus scanner;
    DeviceStatus reader;
    bool operator==(const ReadingsStatus&) const = default;
};

class Readings {
  public:
    virtual ~Readings() = default;
    // delivered: the reading reached the business application (typed, or its window took it);
    // no value when that is unknown (a window that did not answer in time may still take it).
    virtual void Scan(const Text& text, ScanDelivery delivery, std::optional<bool> delivered) = 0;
    // Once per placement of a card on the reader (the window is sent it every poll). A card of
    // a kind the business application does not take comes with delivered false.
    virtual void Card(const CardReading& card, std::optional<bool> delivered) = 0;
    // The card of the last Card was taken away: a poll found none.
    virtual void CardRemoved() = 0;
    virtual void Status(const ReadingsStatus& status) = 0;
    // True while a page takes the plain barcodes instead of the keyboard (they then come as
    // ScanDelivery::Page).
    virtual bool TakesScans() const = 0;
};

}  // namespace ordane
