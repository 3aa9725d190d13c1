// The card record handed to the business application: "SFZXX_2.0|" and ten fields of the
// card's base text separated by "|".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

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

// The fields are plainly a resident identity card's: sex 1 or 2, a birth date that exists
// (YYYYMMDD, from 1900 on), and an 18-character citizen number whose check character is right
// and whose birth date is that one. Other cards the readers read lay their text out
// differently; their pieces only look like these fields.
bool PlainlyResidentCard(const CardFields& fields);
inline Text BuildCardRecord(const Text& baseText) {
    return BuildCardRecord(CutCardFields(baseText));
}

}  // namespace ordane
