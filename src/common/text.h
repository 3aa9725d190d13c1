// Text in the core is UTF-16 (the Windows wide-character form), so card texts keep their
// 16-bit code units and window texts cross to the W functions unchanged. Bytes that cross to
// files, devices and libraries are in the system ANSI code page and are converted only
// through AnsiCodec.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ordane {

using Text = std::u16string;
using Bytes = std::vector<std::uint8_t>;

// The system's ANSI code page (936, GBK, on the systems served).
class AnsiCodec {
  public:
    virtual ~AnsiCodec() = default;
    virtual Text Decode(std::string_view ansi) const = 0;
    virtual std::string Encode(const Text& text) const = 0;
};

// Text made of ASCII characters (status prefixes, markers, brand names).
Text FromAscii(std::string_view ascii);
// Each byte becomes one character of that code, as the identification exchanges read replies.
Text FromBytesAsLatin1(const std::uint8_t* bytes, std::size_t count);
std::string ToUtf8(const Text& text);
Text FromUtf8(std::string_view utf8);

bool StartsWith(const Text& text, const Text& prefix);
// Case-insensitive (ASCII letters) search from the first character.
bool ContainsIgnoreCase(const Text& text, const Text& needle);
// Removes every occurrence in one left-to-right pass, not looking again at what a removal joins.
Text RemoveAll(const Text& text, const Text& what);
// Removes U+0020 at both ends only.
Text TrimSpaces(const Text& text);
// A decimal number made only of the digits 0-9 that fits a 32-bit signed integer.
bool ParseDecimal(std::string_view digits, std::int32_t& value);
Text ToDecimal(std::int64_t value);

}  // namespace ordane
