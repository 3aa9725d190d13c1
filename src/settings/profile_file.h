// "Setting.ini" beside the executable, read and written as a Windows profile file. Values are
// bytes in the ANSI code page.
#pragma once

#include <string>

namespace ordane {

class ProfileFile {
  public:
    virtual ~ProfileFile() = default;
    virtual bool Exists() = 0;
    // The whole value, or defaultValue when the key is absent.
    virtual std::string Read(const std::string& section, const std::string& key,
                             const std::string& defaultValue) = 0;
    virtual void Write(const std::string& section, const std::string& key,
                       const std::string& value) = 0;
};

}  // namespace ordane
