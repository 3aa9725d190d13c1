// The settings dialog's window in native tests. Each modal showing runs the next script a
// test queued: the user's actions against the form (OnListSelect, OnCheckClick,
// Command1_Click ...). A showing must end with the form hiding itself; a script that leaves
// the dialog open fails the test. Message boxes are recorded and closed at once.
#pragma once

#include <deque>
#include <functional>
#include <vector>

#include "common/text.h"
#include "settings/settings_view.h"

namespace ordane::test {

class FakeSettingsView final : public SettingsView {
  public:
    using Script = std::function<void(FrmSet&)>;

    void Attach(FrmSet& form) override { form_ = &form; }
    void ShowModal(void* owner) override;
    void Hide() override { ++hides_; }
    void ShowMessage(const Text& text) override { messages_.push_back(text); }
    void Refresh() override { ++refreshes_; }

    // What the user does during the next showing (a showing without a script is closed from
    // the title bar).
    void OnNextShowing(Script script) { scripts_.push_back(std::move(script)); }

    const std::vector<Text>& Messages() const { return messages_; }
    int Showings() const { return showings_; }
    int Hides() const { return hides_; }
    int Refreshes() const { return refreshes_; }
    void* LastOwner() const { return lastOwner_; }
    FrmSet* Form() const { return form_; }

  private:
    FrmSet* form_ = nullptr;
    std::deque<Script> scripts_;
    std::vector<Text> messages_;
    int showings_ = 0;
    int hides_ = 0;
    int refreshes_ = 0;
    void* lastOwner_ = nullptr;
};

}  // namespace ordane::test
