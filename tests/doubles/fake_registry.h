// The machine hive in memory: keys by path, values as ANSI bytes. Opening can be made to fail
// (no right to the machine hive).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "common/registry.h"

namespace ordane::test {

class FakeRegistry final : public Registry {
  public:
    std::unique_ptr<RegistryKey> CreateKey(const std::string& path) override;

    void SetOpenFails(bool fails) { openFails_ = fails; }
    // Keys open for reading only: every change is refused (a standard user's machine hive).
    void SetWritesRefused(bool refused) { writesRefused_ = refused; }
    void SetValue(const std::string& path, const std::string& name, const std::string& data);
    std::optional<std::string> Value(const std::string& path, const std::string& name) const;
    bool KeyExists(const std::string& path) const { return keys_.count(path) != 0; }
    int Opens() const { return opens_; }

  private:
    class Key;
    bool openFails_ = false;
    bool writesRefused_ = false;
    int opens_ = 0;
    std::map<std::string, std::map<std::string, std::string>> keys_;
};

}  // namespace ordane::test
