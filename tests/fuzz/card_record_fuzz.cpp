// The card record from whatever the reader library leaves behind: any text bytes and any
// reported length. Characters are the buffer's UTF-16LE code units, as many as the length
// says (halves to even) and the buffer holds; the record starts with its prefix, each field
// is its window of the text trimmed of spaces and stays within its width.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <vector>

#include "app/card_record.h"
#include "fuzz/check.h"

using ordane::Text;

namespace {

// Widths in characters of the ten fields, which follow each other from the first character.
constexpr std::size_t kWidths[] = {15, 1, 2, 8, 35, 18, 15, 8, 8, 35};
constexpr std::size_t kLibraryBufferSize = 521;  // what the program lends the library

Text Trimmed(Text s) {
    while (!s.empty() && s.front() == u' ') {
        s.erase(s.begin());
    }
    while (!s.empty() && s.back() == u' ') {
        s.pop_back();
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto reported = in.ConsumeIntegral<std::uint32_t>();
    const bool programBuffer = in.ConsumeBool();
    std::vector<std::uint8_t> buffer = in.ConsumeRemainingBytes<std::uint8_t>();
    if (programBuffer) {
        buffer.resize(kLibraryBufferSize);
    }

    const Text text = ordane::DecodeCardText(buffer.data(), buffer.size(), reported);
    const double wanted = std::nearbyint(reported / 2.0);  // the default rounding: half to even
    const auto expected =
        static_cast<std::size_t>(std::fmin(wanted, static_cast<double>(buffer.size() / 2)));
    FUZZ_CHECK(text.size() == expected, "character count from the reported length");
    for (std::size_t i = 0; i < text.size(); ++i) {
        FUZZ_CHECK(text[i] == (buffer[2 * i] | (buffer[2 * i + 1] << 8)), "code unit unchanged");
    }

    const Text record = ordane::BuildCardRecord(text);
    const Text prefix = ordane::kCardRecordPrefix;
    std::size_t bound = prefix.size() + 9;
    for (std::size_t w : kWidths) {
        bound += w;
    }
    FUZZ_CHECK(record.compare(0, prefix.size(), prefix) == 0, "record prefix");
    FUZZ_CHECK(record.size() <= bound, "record within its bound");
    if (text.find(u'|') != Text::npos) {
        return 0;  // a separator inside the card text makes the fields ambiguous
    }
    std::size_t at = prefix.size();
    std::size_t start = 0;
    for (std::size_t k = 0; k < std::size(kWidths); ++k) {
        const std::size_t end = record.find(u'|', at);
        FUZZ_CHECK((end == Text::npos) == (k + 1 == std::size(kWidths)), "ten fields");
        const Text field = record.substr(at, end == Text::npos ? Text::npos : end - at);
        FUZZ_CHECK(field.size() <= kWidths[k], "field within its width");
        const Text window = start < text.size() ? text.substr(start, kWidths[k]) : Text();
        FUZZ_CHECK(field == Trimmed(window), "field is its window of the text, trimmed");
        start += kWidths[k];
        at = end + 1;
    }
    return 0;
}
