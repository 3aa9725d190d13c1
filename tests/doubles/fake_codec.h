// Stands in for the ANSI code page in native tests: bytes 0-255 are the characters U+0000 to
// U+00FF, except the GBK pairs of the two card reader makes' characters (华 BB AA, 旭 D0 F1,
// 视 CA D3) and those of a plate and an address (京A12345, 鲁B12345, 北京市海淀区中关村大街27号),
// which decode and encode as in code page 936. Other characters above U+00FF
// become '?'. The real code page is tested under Wine.
#pragma once

#include "common/text.h"

namespace ordane::test {

class FakeCodec final : public AnsiCodec {
  public:
    Text Decode(std::string_view ansi) const override;
    std::string Encode(const Text& text) const override;
};

}  // namespace ordane::test
