#include "bridge/bridge_settings.h"

#include "common/text.h"

namespace ordane::bridge {

namespace {

std::string Trimmed(std::string value) {
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
}

}  // namespace

BridgeSettings ReadBridgeSettings(ProfileFile& file) {
    BridgeSettings settings;
    settings.enabled = Trimmed(file.Read("BRIDGE", "Enabled", "0")) == "1";
    if (!settings.enabled) {
        return settings;
    }
    std::int32_t port = 0;
    if (ParseDecimal(Trimmed(file.Read("BRIDGE", "Port", "")), port) && port >= 1 &&
        port <= 65535) {
        settings.port = static_cast<std::uint16_t>(port);
    }
    const std::string origins = file.Read("BRIDGE", "Origins", "");
    std::size_t at = 0;
    while (at < origins.size()) {
        const std::size_t start = origins.find_first_not_of(" \t,", at);
        if (start == std::string::npos) {
            break;
        }
        const std::size_t end = origins.find_first_of(" \t,", start);
        settings.origins.push_back(origins.substr(start, end - start));
        at = end == std::string::npos ? origins.size() : end;
    }
    settings.typeScans = Trimmed(file.Read("BRIDGE", "TypeScans", "1")) != "0";
    return settings;
}

BridgeSettings ReadBridgeSettings(ProfileFile& policy, ProfileFile& file, bool portable) {
    // The policy key holds the whole section once it holds Enabled (an empty value included:
    // PolicyOrFileValue's rule), so no value of a user-writable file joins an administrator's.
    if (policy.Value("BRIDGE", "Enabled").has_value()) {
        return ReadBridgeSettings(policy);
    }
    return portable ? ReadBridgeSettings(file) : BridgeSettings{};
}

}  // namespace ordane::bridge
