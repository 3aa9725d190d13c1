// The card record handed to the business application: "SFZXX_2.0|" and ten fields of the
// card's base text separated by "|".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace ordane {

inline constexpr char16_t kCardRecordPrefix[] = u"SFZXX_2.0|";

// The base text as the reader library leaves it: UTF-16LE code units taken unchanged. The
// character count is the byte length halved, halves rounded to even (255 bytes give 128
// characters); a length beyond the buffer is cut to what the buffer holds.
Text DecodeCardText(const std::uint8_t* buffer, std::size_t bufferSize,
                    std::uint32_t reportedLength);

// name, sex, nation, birth date, address, id number, issuer, valid from, valid to, extra.
using CardFields = std::array<Text, 10>;

// The ten fields cut from the base text, each trimmed of U+0020 only.
CardFields CutCardFields(const Text& baseText);
// The prefix and the ten fields separated by "|".
Text BuildCardRecord(const CardFields& fields);

// The kinds of card a second-generation reader reads. The 125th character of the text marks
// the kind: a space on the resident card, "I" on the 2017 foreign permanent resident card, "J"
// on the Hong Kong, Macao and Taiwan residents' residence permit. The 2023 foreign permanent
// resident card keeps a resident card's number field, with a number beginning with 9.
enum class CardKind { Resident, HmtResidencePermit, ForeignPermanent, Unknown };

// The name pages know the kind by: "resident", "hmtResidencePermit", "foreignPermanent",
// "unknown".
std::string_view CardKindName(CardKind kind);

struct NamedField {
    std::string_view name;  // as pages get it
    Text value;             // trimmed of U+0020
    bool operator==(const NamedField&) const = default;
};

// One card as read, with what each way out of the program makes of it.
struct CardReading {
    CardKind kind = CardKind::Unknown;
    Text text;          // the base text exactly as read
    CardFields fields;  // cut as a resident card's (the record's fields)
    // What the business application is sent: only a resident card and a residence permit,
    // whose fields stand where a resident card's do. Empty for every other kind.
    Text record;
    // The fields of the card's own layout, by name; none for an unknown kind.
    std::vector<NamedField> named;
};

// The kind by the mark first, the number second: a text marked resident (or too short to
// carry a mark) whose number field holds something that is not a citizen number (18
// characters, 17 digits and a digit or X, the first digit 1 to 8) is not called resident. A
// text with an empty number field (a blank read) is written as it always was.
CardKind KindOfCard(const Text& baseText);
CardReading ReadCard(const Text& baseText);

inline Text BuildCardRecord(const Text& baseText) {
    return BuildCardRecord(CutCardFields(baseText));
}

}  // namespace ordane
