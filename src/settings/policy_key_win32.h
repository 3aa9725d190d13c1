// The policy key HKLM\SOFTWARE\Policies\Ordane (in the registry view of this program), read as a
// profile file whose sections are its subkeys: only administrators may write it (the installer's
// switches, group policy). Values may be strings or numbers (REG_DWORD, as group policy writes
// them); the program never writes them.
#pragma once

#include <string>

#include "common/text.h"
#include "settings/profile_file.h"

namespace ordane {

class PolicyKeyWin32 final : public ProfileFile {
  public:
    bool Exists() override;
    bool Empty() override { return false; }
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue) override;
    bool Write(const std::string&, const std::string&, const std::string&) override {
        return false;
    }
    bool Remove(const std::string&, const std::string&) override { return false; }
};

// Whether the folder's owner is the user running this program: a portable copy the user
// unpacked, as opposed to an installed one (owned by Administrators or SYSTEM).
bool FolderOwnedByCurrentUser(const Text& folder);

}  // namespace ordane
