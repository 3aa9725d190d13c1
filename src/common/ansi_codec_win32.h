// The system ANSI code page through MultiByteToWideChar / WideCharToMultiByte: the one place
// where bytes from files, devices and libraries become text.
#pragma once

#include "common/text.h"

namespace ordane {

class AnsiCodecWin32 final : public AnsiCodec {
  public:
    Text Decode(std::string_view ansi) const override;
    std::string Encode(const Text& text) const override;
};

}  // namespace ordane
