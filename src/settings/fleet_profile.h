// Setting.ini as the program reads and writes it with the fleet's policy key over it: a [BCINFO]
// value the policy key holds (HKLM\SOFTWARE\Policies\Ordane\BCINFO, same value names) wins over
// the file's and is fixed: the settings dialog shows it unusable, and saving never changes what
// the file has for it (PolicyOrFileValue's rule). Other sections pass to the file as they are
// ([BRIDGE] and [SCAN] are read once, with the same rule, by their own readers).
#pragma once

#include <string>

#include "settings/profile_file.h"

namespace ordane {

class FleetProfile final : public ProfileFile {
  public:
    FleetProfile(ProfileFile& policy, ProfileFile& file) : policy_(policy), file_(file) {}
    FleetProfile(const FleetProfile&) = delete;
    FleetProfile& operator=(const FleetProfile&) = delete;

    bool Exists() override { return file_.Exists(); }
    bool Empty() override { return file_.Empty(); }
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue) override;
    // A fixed value is not written: the file keeps what it had, and the write counts as done.
    bool Write(const std::string& section, const std::string& key,
               const std::string& value) override;
    bool Remove(const std::string& section, const std::string& key) override;
    bool Fixed(const std::string& section, const std::string& key) override;

  private:
    ProfileFile& policy_;
    ProfileFile& file_;
};

}  // namespace ordane
