#include "fake_codec.h"

namespace ordane::test {

namespace {

struct GbkPair {
    char16_t character;
    unsigned char lead;
    unsigned char trail;
};
constexpr GbkPair kKnown[] = {{u'华', 0xBB, 0xAA},
                              {u'旭', 0xD0, 0xF1},
                              {u'视', 0xCA, 0xD3},
                              // A plate and an address, for the readings' encodings.
                              {u'京', 0xBE, 0xA9},
                              {u'北', 0xB1, 0xB1},
                              {u'市', 0xCA, 0xD0},
                              {u'海', 0xBA, 0xA3},
                              {u'淀', 0xB5, 0xED},
                              {u'区', 0xC7, 0xF8},
                              {u'中', 0xD6, 0xD0},
                              {u'关', 0xB9, 0xD8},
                              {u'村', 0xB4, 0xE5},
                              {u'大', 0xB4, 0xF3},
                              {u'街', 0xBD, 0xD6},
                              {u'号', 0xBA, 0xC5},
                              {u'鲁', 0xC2, 0xB3}};

}  // namespace

Text FakeCodec::Decode(std::string_view ansi) const {
    Text out;
    for (std::size_t i = 0; i < ansi.size(); ++i) {
        const auto lead = static_cast<unsigned char>(ansi[i]);
        bool paired = false;
        if (i + 1 < ansi.size()) {
            const auto trail = static_cast<unsigned char>(ansi[i + 1]);
            for (const GbkPair& pair : kKnown) {
                if (pair.lead == lead && pair.trail == trail) {
                    out += pair.character;
                    ++i;
                    paired = true;
                    break;
                }
            }
        }
        if (!paired) {
            out += static_cast<char16_t>(lead);
        }
    }
    return out;
}

std::string FakeCodec::Encode(const Text& text) const {
    std::string out;
    for (char16_t c : text) {
        if (c <= 0xFF) {
            out += static_cast<char>(c);
            continue;
        }
        char replacement = '?';
        for (const GbkPair& pair : kKnown) {
            if (pair.character == c) {
                out += static_cast<char>(pair.lead);
                replacement = static_cast<char>(pair.trail);
                break;
            }
        }
        out += replacement;
    }
    return out;
}

}  // namespace ordane::test
