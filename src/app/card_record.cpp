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

// Positions in characters, from 1, of the pieces each kind's pages get.
struct Piece {
    std::string_view name;
    std::size_t start;
    std::size_t length;
};

constexpr std::size_t kMarkAt = 125;

constexpr Piece kResidentPieces[] = {
    {"name", 1, 15},     {"sex", 16, 1},       {"nation", 17, 2},  {"birthDate", 19, 8},
    {"address", 27, 35}, {"idNumber", 62, 18}, {"issuer", 80, 15}, {"validFrom", 95, 8},
    {"validTo", 103, 8}, {"extra", 111, 35},
};

// The resident card's fields where they are (nation blank), then the pass number and the
// number of times a permit was issued; the reserved characters and the mark are left out.
constexpr Piece kPermitPieces[] = {
    {"name", 1, 15},     {"sex", 16, 1},         {"nation", 17, 2},      {"birthDate", 19, 8},
    {"address", 27, 35}, {"idNumber", 62, 18},   {"issuer", 80, 15},     {"validFrom", 95, 8},
    {"validTo", 103, 8}, {"passNumber", 111, 9}, {"issueCount", 120, 2},
};

constexpr Piece kForeignPieces[] = {
    {"englishName", 1, 60},    {"sex", 61, 1},          {"permitNumber", 62, 15},
    {"nationality", 77, 3},    {"chineseName", 80, 15}, {"validFrom", 95, 8},
    {"validTo", 103, 8},       {"birthDate", 111, 8},   {"cardVersion", 119, 2},
    {"authorityCode", 121, 4},
};

bool CitizenNumber(const Text& number) {
    if (number.size() != 18 || number[0] < u'1' || number[0] > u'8') {
        return false;
    }
    for (std::size_t i = 0; i < 17; ++i) {
        if (number[i] < u'0' || number[i] > u'9') {
            return false;
        }
    }
    return (number[17] >= u'0' && number[17] <= u'9') || number[17] == u'X';
}

template <std::size_t N>
std::vector<NamedField> Named(const Text& text, const Piece (&pieces)[N]) {
    std::vector<NamedField> named;
    for (const Piece& piece : pieces) {
        named.push_back({piece.name, TrimSpaces(Mid(text, piece.start, piece.length))});
    }
    return named;
}

}  // namespace

std::string_view CardKindName(CardKind kind) {
    switch (kind) {
        case CardKind::Resident:
            return "resident";
        case CardKind::HmtResidencePermit:
            return "hmtResidencePermit";
        case CardKind::ForeignPermanent:
            return "foreignPermanent";
        case CardKind::Unknown:
            break;
    }
    return "unknown";
}

CardKind KindOfCard(const Text& baseText) {
    const Text mark = Mid(baseText, kMarkAt, 1);
    if (mark == u"I") {
        return CardKind::ForeignPermanent;
    }
    if (mark == u"J") {
        return CardKind::HmtResidencePermit;
    }
    // A library that leaves the reserved characters zero marks nothing either.
    if (!mark.empty() && mark != u" " && mark != Text(1, u'\0')) {
        return CardKind::Unknown;  // a kind that came after these (the 2023 foreign card's)
    }
    const Text number = TrimSpaces(Mid(baseText, 62, 18));
    return number.empty() || CitizenNumber(number) ? CardKind::Resident : CardKind::Unknown;
}

CardReading ReadCard(const Text& baseText) {
    CardReading card;
    card.kind = KindOfCard(baseText);
    card.text = baseText;
    card.fields = CutCardFields(baseText);
    switch (card.kind) {
        case CardKind::Resident:
            card.record = BuildCardRecord(card.fields);
            card.named = Named(baseText, kResidentPieces);
            break;
        case CardKind::HmtResidencePermit:
            card.record = BuildCardRecord(card.fields);
            card.named = Named(baseText, kPermitPieces);
            break;
        case CardKind::ForeignPermanent:
            card.named = Named(baseText, kForeignPieces);
            break;
        case CardKind::Unknown:
            break;
    }
    return card;
}

}  // namespace ordane
