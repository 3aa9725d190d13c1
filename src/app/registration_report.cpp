#include "app/registration_report.h"

#include <string>

namespace ordane {

namespace {
// The registration flag counts as set when its text, up to a terminating NUL, is "1".
bool FlagSet(const std::string& data) {
    return data.substr(0, data.find('\0')) == "1";
}
}  // namespace

void RegistrationReport::Uploaded(const Text& id) {
    auto key = registry_.CreateKey("Software\\CardReader");
    if (!key) {
        log_.Event("registration", "registry key not opened");
        return;
    }
    const auto size = key->QueryValueSize("upload");
    if (size && *size > 0) {
        const auto data = key->QueryValue("upload");
        if (data && FlagSet(*data)) {
            log_.Event("registration", "already reported");
            return;
        }
    }
    Send(id, "at start-up", true);
}

bool RegistrationReport::UploadInfo(const Text& id, LogWord trigger) {
    return Send(id, trigger, false);
}

bool RegistrationReport::Send(const Text& id, LogWord trigger, bool setFlag) {
    if (pending_) {
        if (!setFlag) {
            again_ = Again{id, trigger};
        }
        return false;
    }
    log_.RegistrationAttempt(trigger, id.size());
    if (id.empty()) {
        log_.RegistrationOutcome(false);
        return false;
    }
    setFlag_ = setFlag;
    if (worker_ == nullptr) {
        http1_.Update(id);
    } else if (!worker_->Start([this, id] { http1_.Update(id); })) {
        log_.RegistrationOutcome(false);
        return false;
    }
    pending_ = true;
    if (worker_ == nullptr) {
        Collect();
    }
    return true;
}

void RegistrationReport::Collect() {
    if (!pending_ || (worker_ != nullptr && !worker_->Idle())) {
        return;
    }
    pending_ = false;
    log_.RegistrationOutcome(http1_.Success);
    if (setFlag_ && http1_.Success) {
        setFlag_ = false;
        auto key = registry_.CreateKey("Software\\CardReader");
        if (!key || !key->SetString("upload", "1")) {
            log_.WriteRefused("HKLM Software\\CardReader upload");
        }
    }
    if (again_) {
        const Again again = std::move(*again_);
        again_.reset();
        Send(again.id, again.trigger, false);
    }
}

}  // namespace ordane
