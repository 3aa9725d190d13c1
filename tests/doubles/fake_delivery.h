// Records what reached the business application: typed texts (with or without Enter) and
// texts set into the target window's first child (only while the target "exists").
#pragma once

#include <vector>

#include "app/delivery.h"

namespace ordane::test {

class FakeDelivery final : public Delivery {
  public:
    struct Typed {
        Text text;
        bool enter;
        bool operator==(const Typed&) const = default;
    };
    void TypeText(const Text& text, bool addEnter) override { typed.push_back({text, addEnter}); }
    void SetFirstChildText(const Text& windowTitle, const Text& text) override {
        titles.push_back(windowTitle);
        if (targetPresent) {
            received.push_back(text);
        }
    }

    bool targetPresent = true;
    std::vector<Typed> typed;
    std::vector<Text> received;
    std::vector<Text> titles;
};

}  // namespace ordane::test
