// Owner and access list of a file or folder as the installer's rules take them
// (setup/setup_rules.h), read through a handle on the object itself: used by the installer's
// helper for Ordane's folder, and by Ordane to tell an installed copy from a portable one.
#pragma once

#include <windows.h>

#include <cstdint>

#include "common/text.h"
#include "setup/setup_rules.h"

namespace ordane::setup {

// "S-1-5-32-544" for a SID; empty when there is none.
Text SidText(PSID sid);

// Opened as itself (a link or junction is not followed, and says so in reparsePoint); with backup
// semantics, so a folder opens too. `links` and `directory`, when given, receive the number of
// names of the file and whether it is a folder. ERROR_SUCCESS or the Win32 error.
DWORD ReadSecurity(const Text& path, FolderSecurity& security, std::uint32_t* links = nullptr,
                   bool* directory = nullptr);

// Whether the folder is protected from everyone but SYSTEM, Administrators and TrustedInstaller
// (an installed copy's): False when it cannot be read.
bool FolderProtectedFromUsers(const Text& folder);

}  // namespace ordane::setup
