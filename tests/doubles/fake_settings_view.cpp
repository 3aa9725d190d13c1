#include "fake_settings_view.h"

#include <gtest/gtest.h>

#include "settings/frm_set.h"

namespace ordane::test {

void FakeSettingsView::ShowModal(void* owner) {
    ++showings_;
    lastOwner_ = owner;
    if (form_ == nullptr) {
        ADD_FAILURE() << "settings view shown before a form was attached";
        return;
    }
    if (scripts_.empty()) {
        form_->OnTitleBarClose();
        return;
    }
    Script script = std::move(scripts_.front());
    scripts_.pop_front();
    script(*form_);
    if (form_->Visible()) {
        ADD_FAILURE() << "the settings dialog was left open by the test's script";
    }
}

}  // namespace ordane::test
