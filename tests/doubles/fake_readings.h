// Records what the main window's logic tells the browser bridge; a page "takes the scans"
// while takesScans is set.
#pragma once

#include <optional>
#include <vector>

#include "app/readings.h"

namespace ordane::test {

class FakeReadings final : public Readings {
  public:
    struct Scanned {
        Text text;
        ScanDelivery delivery;
        std::optional<bool> delivered = true;
        bool operator==(const Scanned&) const = default;
    };
    void Scan(const Text& text, ScanDelivery delivery, std::optional<bool> delivered) override {
        scans.push_back({text, delivery, delivered});
    }
    void Card(const CardReading& card, std::optional<bool> delivered) override {
        cards.push_back(card.record);
        cardsDelivered.push_back(delivered);
        cardFields.push_back(card.fields);
        cardKinds.push_back(card.kind);
    }
    void CardRemoved() override { cards.push_back(u"(removed)"); }
    void Status(const ReadingsStatus& status) override { statuses.push_back(status); }
    bool TakesScans() const override { return takesScans; }

    bool takesScans = false;
    std::vector<Scanned> scans;
    std::vector<Text> cards;
    std::vector<std::optional<bool>> cardsDelivered;
    std::vector<CardFields> cardFields;
    std::vector<CardKind> cardKinds;
    std::vector<ReadingsStatus> statuses;
};

}  // namespace ordane::test
