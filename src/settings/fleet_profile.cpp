#include "settings/fleet_profile.h"

namespace ordane {

namespace {

constexpr char kFixedSection[] = "BCINFO";

}  // namespace

bool FleetProfile::Fixed(const std::string& section, const std::string& key) {
    return section == kFixedSection && policy_.Value(section, key).has_value();
}

std::string FleetProfile::Read(const std::string& section, const std::string& key,
                               const std::string& defaultValue) {
    if (section == kFixedSection) {
        if (std::optional<std::string> fixed = policy_.Value(section, key)) {
            return *fixed;
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
