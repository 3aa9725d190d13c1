#include "app/card_record.h"

#include <algorithm>
#include <array>

namespace ordane {

namespace {

struct Field {
    std::size_t start;  // in characters, from 1
    std::size_t length;
};

// name, sex, ethnic group, birth date, address, id number, authority, valid from, valid to,
// the rest.
constexpr std::array<Field, 10> kFields{{{1, 15},
                                         {16, 1},
                                         {17, 2},
                                         {19, 8},
                                         {27, 35},
                                         {62, 18},
                                         {80, 15},
                                         {95, 8},
                                         {103, 8},
                                         {111, 35}}};

Text Mid(const Text& text, std::size_t start, std::size_t length) {
    if (start > text.size()) {
        return Text();
    }
    return text.substr(start - 1, length);
}

}  // namespace

Text DecodeCardText(const std::uint8_t* buffer, std::size_t bufferSize,
                    std::uint32_t reportedLength) {
    const std::uint32_t half = reportedLength / 2;
    const bool roundUp = (reportedLength % 2 == 1) && (half % 2 == 1);
    std::size_t count = half + (roundUp ? 1u : 0u);
    count = std::min(count, bufferSize / 2);
    Text text(count, u'\0');
    for (std::size_t i = 0; i < count; ++i) {
        text[i] = static_cast<char16_t>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
    }
    return text;
}

CardFields CutCardFields(const Text& baseText) {
    CardFields fields;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        fields[i] = TrimSpaces(Mid(baseText, kFields[i].start, kFields[i].length));
    }
    return fields;
}

Text BuildCardRecord(const CardFields& fields) {
    Text record = kCardRecordPrefix;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            record += u'|';
        }
        record += fields[i];
    }
    return record;
}

}  // namespace ordane
