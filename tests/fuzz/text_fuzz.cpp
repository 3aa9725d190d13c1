// The text helpers against simple reference models: UTF-8 and UTF-16 round trips, marker
// removal in one pass, trimming of spaces, case-insensitive search, decimal parsing, the use
// flags, and the code-page double's byte round trip.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <limits>
#include <string>

#include "common/text.h"
#include "doubles/fake_codec.h"
#include "fuzz/check.h"
#include "settings/settings_model.h"

using ordane::Text;

namespace {

Text Widen(const std::string& bytes) {
    Text out;
    for (char c : bytes) {
        out += static_cast<char16_t>(static_cast<unsigned char>(c));
    }
    return out;
}

// Well-formed UTF-8: shortest forms, no surrogates, nothing above U+10FFFF.
bool WellFormedUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        if (b >= 0xC2 && b < 0xE0) {
            extra = 1;
        } else if (b >= 0xE0 && b < 0xF0) {
            extra = 2;
        } else if (b >= 0xF0 && b < 0xF5) {
            extra = 3;
        } else if (b >= 0x80) {
            return false;
        }
        if (extra >= s.size() - i) {
            return false;
        }
        std::uint32_t c = extra == 0 ? b : b & (0x3Fu >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto t = static_cast<unsigned char>(s[i + k]);
            if ((t & 0xC0) != 0x80) {
                return false;
            }
            c = (c << 6) | (t & 0x3Fu);
        }
        const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (c < least[extra] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

Text RemoveAllModel(const Text& text, const Text& what) {
    if (what.empty()) {
        return text;
    }
    Text out;
    for (std::size_t i = 0; i < text.size();) {
        if (text.compare(i, what.size(), what) == 0) {
            i += what.size();
        } else {
            out += text[i++];
        }
    }
    return out;
}

Text TrimModel(Text s) {
    while (!s.empty() && s.front() == u' ') {
        s.erase(0, 1);
    }
    while (!s.empty() && s.back() == u' ') {
        s.pop_back();
    }
    return s;
}

Text UpperAscii(Text s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') {
            c = static_cast<char16_t>(c - 32);
        }
    }
    return s;
}

bool ParseModel(const std::string& s, std::int32_t& value) {
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const std::string digits = s.substr(std::min(s.find_first_not_of('0'), s.size()));
    if (digits.size() > 10 || (digits.size() == 10 && digits > "2147483647")) {
        return false;
    }
    value = digits.empty() ? 0 : static_cast<std::int32_t>(std::stoll(digits));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string bytes = in.ConsumeRandomLengthString(64);
    const std::string small = in.ConsumeRandomLengthString(12);
    const std::string rest = in.ConsumeRemainingBytesAsString();
    const Text latin = Widen(bytes);
    const Text what = Widen(small);
    Text units;
    for (std::size_t i = 0; i + 1 < rest.size(); i += 2) {
        units += static_cast<char16_t>(static_cast<unsigned char>(rest[i]) |
                                       (static_cast<unsigned char>(rest[i + 1]) << 8));
    }

    // UTF-16 to UTF-8 and back keeps every code unit, lone surrogates included.
    FUZZ_CHECK(ordane::FromUtf8(ordane::ToUtf8(units)) == units, "UTF-16 round trip");
    FUZZ_CHECK(ordane::FromUtf8(ordane::ToUtf8(latin)) == latin, "Latin-1 round trip");
    FUZZ_CHECK(WellFormedUtf8(ordane::ToUtf8(latin)), "UTF-8 of Latin-1 is well formed");
    if (WellFormedUtf8(rest)) {
        FUZZ_CHECK(ordane::ToUtf8(ordane::FromUtf8(rest)) == rest, "UTF-8 round trip");
    }
    (void)ordane::FromUtf8(bytes);  // any bytes decode without reading past the end

    FUZZ_CHECK(ordane::RemoveAll(latin, what) == RemoveAllModel(latin, what), "RemoveAll");
    FUZZ_CHECK(ordane::RemoveAll(latin, u"DE6K8") == RemoveAllModel(latin, u"DE6K8"),
               "RemoveAll of a marker");
    FUZZ_CHECK(ordane::TrimSpaces(latin) == TrimModel(latin), "TrimSpaces");
    FUZZ_CHECK(ordane::StartsWith(latin, what) == (latin.substr(0, what.size()) == what),
               "StartsWith");
    FUZZ_CHECK(ordane::ContainsIgnoreCase(latin, what) ==
                   (UpperAscii(latin).find(UpperAscii(what)) != Text::npos),
               "ContainsIgnoreCase");

    std::int32_t got = -1;
    std::int32_t want = -1;
    const bool parsed = ordane::ParseDecimal(small, got);
    FUZZ_CHECK(parsed == ParseModel(small, want), "ParseDecimal accepts");
    FUZZ_CHECK(!parsed || got == want, "ParseDecimal value");
    if (parsed) {
        std::int32_t again = -1;
        FUZZ_CHECK(
            ordane::ParseDecimal(ordane::ToUtf8(ordane::ToDecimal(got)), again) && again == got,
            "ToDecimal round trip");
    }
    const bool number =
        !small.empty() && small.find_first_not_of("0123456789") == std::string::npos;
    FUZZ_CHECK(
        ordane::UseFlag(what) == (number && small.find_first_not_of('0') != std::string::npos),
        "UseFlag: a nonzero number");

    const ordane::test::FakeCodec codec;
    FUZZ_CHECK(codec.Encode(codec.Decode(bytes)) == bytes, "code-page bytes round trip");
    return 0;
}
