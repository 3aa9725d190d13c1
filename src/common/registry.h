// The machine hive (HKEY_LOCAL_MACHINE) as the registration flag and the auto-start entry use
// it. Value data are raw bytes in the ANSI code page.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace ordane {

class RegistryKey {
  public:
    virtual ~RegistryKey() = default;
    // Size in bytes of the value, or nothing when it does not exist.
    virtual std::optional<std::uint32_t> QueryValueSize(const std::string& name) = 0;
    virtual std::optional<std::string> QueryValue(const std::string& name) = 0;
    // REG_SZ with exactly these bytes as data (no terminating NUL added). False when refused.
    virtual bool SetString(const std::string& name, const std::string& data) = 0;
    // False when refused; a value that does not exist is already deleted (True).
    virtual bool DeleteValue(const std::string& name) = 0;
};

class Registry {
  public:
    virtual ~Registry() = default;
    // Opens the key under HKEY_LOCAL_MACHINE, creating it when missing; null when no handle.
    // A key the user may read but not change opens for reading: its writes are refused.
    virtual std::unique_ptr<RegistryKey> CreateKey(const std::string& path) = 0;
};

}  // namespace ordane
