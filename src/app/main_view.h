// What the main window's logic needs from the window itself. Labels and commands are
// addressed by their number (Label1 ... Label13).
#pragma once

#include "common/text.h"

namespace ordane {

// Whether showing the window takes the keyboard focus.
enum class Activation {
    Activate,  // the user asked for the window, or the program is starting
    Keep,      // the focus stays where it is: keys still on their way reach their window
};

class MainView {
  public:
    virtual ~MainView() = default;
    virtual void SetLabelText(int label, const Text& text) = 0;
    virtual void SetCommandEnabled(int label, bool enabled) = 0;
    virtual void ShowWindow(Activation activation) = 0;
    virtual void HideWindow() = 0;
    virtual bool IsWindowVisible() = 0;
    virtual void Beep() = 0;
    // Unloads every window of the program; the process ends when none is left.
    virtual void UnloadAll() = 0;
    // The window that owns the settings dialog.
    virtual void* OwnerHandle() = 0;
};

}  // namespace ordane
