// Hands a finished reading to the business application.
#pragma once

#include "common/text.h"

namespace ordane {

class Delivery {
  public:
    virtual ~Delivery() = default;
    // Types the text into the window that has the keyboard focus as KeystrokesFor gives it,
    // then Enter when asked; does not wait for the receiver.
    virtual void TypeText(const Text& text, bool addEnter) = 0;
    // Sets the text of the first child of the top-level window with exactly this title.
    // Without such a window or child the text is dropped.
    virtual void SetFirstChildText(const Text& windowTitle, const Text& text) = 0;
};

}  // namespace ordane
