// Core text is UTF-16, which on Windows is the wide-character form: the W functions take it
// as it is.
#pragma once

#include <windows.h>

#include "common/text.h"

namespace ordane {

inline const wchar_t* Wide(const Text& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}

}  // namespace ordane
