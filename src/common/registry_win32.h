// The machine hive (or the user's own, for a portable copy's auto-start entry) through the ANSI
// registry functions of advapi32.
#pragma once

#include <memory>
#include <string>

#include "common/registry.h"

namespace ordane {

enum class RegistryHive { LocalMachine, CurrentUser };

class RegistryWin32 final : public Registry {
  public:
    explicit RegistryWin32(RegistryHive hive = RegistryHive::LocalMachine) : hive_(hive) {}
    // Asks for query and set rights only, which is all the flag and the auto-start entry need.
    std::unique_ptr<RegistryKey> CreateKey(const std::string& path) override;

  private:
    RegistryHive hive_;
};

}  // namespace ordane
