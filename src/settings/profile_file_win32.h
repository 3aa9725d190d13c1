// "Setting.ini" through the system's wide profile functions, kept in the ANSI code page.
#pragma once

#include <string>

#include "common/text.h"
#include "settings/profile_file.h"

namespace ordane {

class ProfileFileWin32 final : public ProfileFile {
  public:
    // path: the whole file name, e.g. the executable's folder followed by "\Setting.ini".
    explicit ProfileFileWin32(Text path);

    bool Exists() override;
    bool Empty() override;
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue) override;
    bool Write(const std::string& section, const std::string& key,
               const std::string& value) override;
    bool Remove(const std::string& section, const std::string& key) override;

  private:
    Text path_;
};

}  // namespace ordane
