// The single-instance guard: a named mutex held for the life of the process, so that a second
// start of the same executable finds it.
#pragma once

#include <string>

#include "common/handle_win32.h"
#include "common/text.h"

namespace ordane {

class SingleInstance {
  public:
    explicit SingleInstance(const Text& executablePath);
    bool AlreadyRunning() const { return alreadyRunning_; }

  private:
    UniqueHandle mutex_;
    bool alreadyRunning_ = false;
};

// The mutex name for an executable path (case and separators folded).
std::wstring SingleInstanceName(const Text& executablePath);

}  // namespace ordane
