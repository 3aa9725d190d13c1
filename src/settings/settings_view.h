// What the settings form's logic needs from the dialog window itself. The window reads the
// controls' state from the form it is attached to and hands the user's actions back to it
// (FrmSet::OnListSelect, OnCheckClick, Command1_Click, Command2_Click, OnTitleBarClose).
#pragma once

#include "common/text.h"

namespace ordane {

class FrmSet;

class SettingsView {
  public:
    virtual ~SettingsView() = default;
    // Called once by the form's constructor: the form this view shows.
    virtual void Attach(FrmSet& form) = 0;
    // Shows the dialog modally over owner (an opaque native window handle, may be null) and
    // returns once the dialog has been hidden. The owner's messages keep being dispatched.
    virtual void ShowModal(void* owner) = 0;
    // Hides the dialog, which ends a modal showing.
    virtual void Hide() = 0;
    // A message box with an OK button only, over the dialog; returns when it is closed.
    virtual void ShowMessage(const Text& text) = 0;
    // The controls show the form's state again: entries, selections, check values, enabled
    // states. Cheap when nothing changed; harmless before the window exists.
    virtual void Refresh() = 0;
};

}  // namespace ordane
