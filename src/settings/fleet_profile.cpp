#include "settings/fleet_profile.h"

namespace ordane {

namespace {

constexpr char kFixedSection[] = "BCINFO";
// A read default no stored value holds (a control character, not white space): absent.
constexpr char kAbsent[] = "\x01";

}  // namespace

bool FleetProfile::Fixed(const std::string& section, const std::string& key) {
    return section == kFixedSection && policy_.Read(section, key, kAbsent) != kAbsent;
}

std::string FleetProfile::Read(const std::string& section, const std::string& key,
                               const std::string& defaultValue) {
    if (section == kFixedSection) {
        const std::string fixed = policy_.Read(section, key, kAbsent);
        if (fixed != kAbsent) {
            return fixed;
        }
    }
    return file_.Read(section, key, defaultValue);
}

bool FleetProfile::Write(const std::string& section, const std::string& key,
                         const std::string& value) {
    return Fixed(section, key) || file_.Write(section, key, value);
}

bool FleetProfile::Remove(const std::string& section, const std::string& key) {
    return Fixed(section, key) || file_.Remove(section, key);
}

}  // namespace ordane
