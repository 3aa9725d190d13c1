// The machine hive through the ANSI registry functions of advapi32.
#pragma once

#include <memory>
#include <string>

#include "common/registry.h"

namespace ordane {

class RegistryWin32 final : public Registry {
  public:
    // Asks for query and set rights only, which is all the flag and the auto-start entry need.
    std::unique_ptr<RegistryKey> CreateKey(const std::string& path) override;
};

}  // namespace ordane
