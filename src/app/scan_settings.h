// The [SCAN] section of Setting.ini (or of the policy key): how a reading ends, how fast it is
// typed and how its bytes become text. Read once at start-up; the settings dialog never writes it.
// Absent or unknown values keep the program as it always was: readings end after 200 ms of quiet,
// keys are typed at once, bytes are in the code page.
#pragma once

#include <cstdint>
#include <string>

#include "settings/profile_file.h"

namespace ordane {

enum class ScanEncoding { CodePage, Auto, Utf8 };

// How characters are typed: as Unicode key packets (VK_PACKET), or as the keys of the focused
// window's keyboard layout (for remote desktop and VDI clients, VNC viewers and applications
// that act only on WM_KEYDOWN), characters that layout cannot type still as packets.
enum class KeyMode { Unicode, Keys };

struct ScanSettings {
    // The bytes the scanner ends each reading with (CR, LF or CR LF); empty: none.
    std::string terminator;
    std::uint32_t keyDelayMs = 0;  // between typed characters
    ScanEncoding encoding = ScanEncoding::CodePage;
    KeyMode keyMode = KeyMode::Unicode;
    // Typed in place of the group separator (0x1D) GS1 codes carry between fields, which most
    // targets drop; empty: the separator is typed as it is. Bytes as written (code page).
    std::string groupSeparator;
};

inline constexpr std::uint32_t kMaxKeyDelayMs = 200;

// Values are matched without regard to case and surrounding spaces (GS is taken as written,
// without the spaces around it); a KeyDelay above the bound is taken as the bound. A value the
// fleet's policy key ([SCAN] of policy) holds is fixed there and wins over Setting.ini's.
ScanSettings ReadScanSettings(ProfileFile& policy, ProfileFile& file);

}  // namespace ordane
