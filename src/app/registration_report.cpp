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
    if (UploadInfo(id, "at start-up") && !key->SetString("upload", "1")) {
        log_.WriteRefused("HKLM Software\\CardReader upload");
    }
}

bool RegistrationReport::UploadInfo(const Text& id, LogWord trigger) {
    log_.RegistrationAttempt(trigger, id.size());
    if (id.empty()) {
        log_.RegistrationOutcome(false);
        return false;
    }
    http1_.Update(id);
    log_.RegistrationOutcome(http1_.Success);
    return http1_.Success;
}

}  // namespace ordane
