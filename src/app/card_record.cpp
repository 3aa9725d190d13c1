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

namespace {

bool Digits(const Text& text) {
    for (const char16_t c : text) {
        if (c < u'0' || c > u'9') {
            return false;
        }
    }
    return true;
}

int Number(const Text& digits) {
    int n = 0;
    for (const char16_t c : digits) {
        n = n * 10 + (c - u'0');
    }
    return n;
}

bool RealDate(const Text& date) {
    if (date.size() != 8 || !Digits(date)) {
        return false;
    }
    const int year = Number(date.substr(0, 4));
    const int month = Number(date.substr(4, 2));
    const int day = Number(date.substr(6, 2));
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1900 || month < 1 || month > 12 || day < 1) {
        return false;
    }
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

}  // namespace

bool PlainlyResidentCard(const CardFields& fields) {
    const Text& sex = fields[1];
    const Text& birthDate = fields[3];
    const Text& number = fields[5];
    if ((sex != u"1" && sex != u"2") || !RealDate(birthDate) || number.size() != 18 ||
        !Digits(number.substr(0, 17)) || number.substr(6, 8) != birthDate) {
        return false;
    }
    // ISO 7064 MOD 11-2 over the first 17 digits.
    static constexpr int kWeights[] = {7, 9, 10, 5, 8, 4, 2, 1, 6, 3, 7, 9, 10, 5, 8, 4, 2};
    int sum = 0;
    for (std::size_t i = 0; i < 17; ++i) {
        sum += (number[i] - u'0') * kWeights[i];
    }
    static constexpr char16_t kCheck[] = u"10X98765432";
    return number[17] == kCheck[sum % 11];
}

}  // namespace ordane
