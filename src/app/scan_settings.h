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

struct ScanSettings {
    // The bytes the scanner ends each reading with (CR, LF or CR LF); empty: none.
    std::string terminator;
    std::uint32_t keyDelayMs = 0;  // between typed characters
    ScanEncoding encoding = ScanEncoding::CodePage;
};

inline constexpr std::uint32_t kMaxKeyDelayMs = 200;

// Values are matched without regard to case and surrounding spaces; a KeyDelay above the bound
// is taken as the bound. A value the fleet's policy key ([SCAN] of policy) holds is fixed there
// and wins over Setting.ini's.
ScanSettings ReadScanSettings(ProfileFile& policy, ProfileFile& file);

}  // namespace ordane
