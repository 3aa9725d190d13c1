// The notification-area icon of the main window.
#pragma once

#include "common/text.h"

namespace ordane {

class TrayIcon {
  public:
    virtual ~TrayIcon() = default;
    virtual void AddTrayIcon() = 0;
    virtual void SetTrayTip(const Text& tip) = 0;
    virtual void RemoveTrayIcon() = 0;
    // Whether the icon is in the notification area now: the only way back to a hidden window.
    virtual bool IconPresent() = 0;
    // A balloon beside the icon that takes no focus: a reading that went nowhere is told
    // where the clerk looks, without taking the keys of the next one.
    virtual void Notify(const Text& title, const Text& text) = 0;
};

}  // namespace ordane
