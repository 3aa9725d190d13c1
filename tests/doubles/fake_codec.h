// Stands in for the ANSI code page in native tests: bytes 0-255 are the characters U+0000 to
// U+00FF, and characters above U+00FF become '?' (the real code page 936 is tested under Wine).
#pragma once

#include "common/text.h"

namespace ordane::test {

class FakeCodec final : public AnsiCodec {
public:
    Text Decode(std::string_view ansi) const override;
    std::string Encode(const Text& text) const override;
};

}  // namespace ordane::test
