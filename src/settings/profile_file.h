// "Setting.ini" beside the executable, read and written as a Windows profile file. Values are
// bytes in the ANSI code page.
#pragma once

#include <optional>
#include <string>

namespace ordane {

class ProfileFile {
  public:
    virtual ~ProfileFile() = default;
    virtual bool Exists() = 0;
    // True when the file exists and holds no bytes at all.
    virtual bool Empty() = 0;
    // The whole value, or defaultValue when the key is absent.
    virtual std::string Read(const std::string& section, const std::string& key,
                             const std::string& defaultValue) = 0;
    // The value, or nothing when the key is absent. The one rule for telling absent from
    // empty: a default no stored value holds (a control character, which the profile functions
    // never trim from a default).
    std::optional<std::string> Value(const std::string& section, const std::string& key) {
        static const std::string kAbsent = "\x01";
        std::string value = Read(section, key, kAbsent);
        if (value == kAbsent) {
            return std::nullopt;
        }
        return value;
    }
    // False when the system refused the write (for example a read-only file, or a file a
    // standard user may not change); the file is then as it was.
    virtual bool Write(const std::string& section, const std::string& key,
                       const std::string& value) = 0;
    // Removes the key; False when refused.
    virtual bool Remove(const std::string& section, const std::string& key) = 0;
    // Whether the value is fixed where users cannot change it (the fleet's policy key): it is
    // read from there, and never written here.
    virtual bool Fixed(const std::string& /*section*/, const std::string& /*key*/) { return false; }
};

}  // namespace ordane
