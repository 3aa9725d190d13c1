#include "fake_codec.h"

namespace ordane::test {

Text FakeCodec::Decode(std::string_view ansi) const {
    Text out;
    for (char c : ansi) {
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return out;
}

std::string FakeCodec::Encode(const Text& text) const {
    std::string out;
    for (char16_t c : text) {
        out += c <= 0xFF ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace ordane::test
