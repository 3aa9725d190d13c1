// Where the running program lives: the settings file, the card reader's library and the
// auto-start entry are found from it.
#pragma once

#include "common/text.h"

namespace ordane {

// The running executable's folder (no trailing backslash, so "C:" for a program in the root
// of drive C) and its file name without the extension.
struct ExecutableLocation {
    Text folder;
    Text baseName;
};
ExecutableLocation GetExecutableLocation();

}  // namespace ordane
