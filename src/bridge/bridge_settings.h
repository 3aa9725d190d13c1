// The [BRIDGE] section of Setting.ini, read once at start-up and never written by the program
// (the installer writes it). Without it, or with Enabled other than 1, the bridge is off and
// no socket is opened.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "settings/profile_file.h"

namespace ordane::bridge {

inline constexpr std::uint16_t kDefaultPort = 17520;

struct BridgeSettings {
    bool enabled = false;
    std::uint16_t port = kDefaultPort;
    std::vector<std::string> origins;  // exact origins; no wildcard
    bool typeScans = true;             // false: plain barcodes go only to a connected page
};

// A Port that is not a number from 1 to 65535 counts as absent. Origins are separated by
// spaces, tabs or commas.
BridgeSettings ReadBridgeSettings(ProfileFile& file);

// Who may open the bridge: only an administrator. `policy` is the [BRIDGE] of the policy key
// (HKLM\SOFTWARE\Policies\Ordane\BRIDGE, which only administrators may write: the installer's
// switches and group policy set it); when it holds Enabled, even empty, it alone counts. Otherwise
// the [BRIDGE] of Setting.ini, which every user may write, counts only for a portable copy in a
// folder its user owns (`portable`); an installed copy's bridge stays off.
BridgeSettings ReadBridgeSettings(ProfileFile& policy, ProfileFile& file, bool portable);

}  // namespace ordane::bridge
