#include "common/text.h"

#include <limits>

namespace ordane {

Text FromAscii(std::string_view ascii) {
    return Text(ascii.begin(), ascii.end());
}

Text FromBytesAsLatin1(const std::uint8_t* bytes, std::size_t count) {
    return Text(bytes, bytes + count);
}

std::string ToUtf8(const Text& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        std::uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
            text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

Text FromUtf8(std::string_view utf8) {
    Text out;
    for (std::size_t i = 0; i < utf8.size();) {
        auto b = static_cast<unsigned char>(utf8[i]);
        std::uint32_t c = b;
        std::size_t extra = 0;
        if (b >= 0xF0) {
            c = b & 0x07u;
            extra = 3;
        } else if (b >= 0xE0) {
            c = b & 0x0Fu;
            extra = 2;
        } else if (b >= 0xC0) {
            c = b & 0x1Fu;
            extra = 1;
        }
        ++i;
        for (std::size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            c = (c << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3Fu);
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool StartsWith(const Text& text, const Text& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

namespace {
char16_t FoldAscii(char16_t c) {
    return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
}
}  // namespace

bool ContainsIgnoreCase(const Text& text, const Text& needle) {
    if (needle.empty()) {
        return true;
    }
    if (needle.size() > text.size()) {
        return false;
    }
    for (std::size_t start = 0; start + needle.size() <= text.size(); ++start) {
        std::size_t k = 0;
        while (k < needle.size() && FoldAscii(text[start + k]) == FoldAscii(needle[k])) {
            ++k;
        }
        if (k == needle.size()) {
            return true;
        }
    }
    return false;
}

Text RemoveAll(const Text& text, const Text& what) {
    if (what.empty()) {
        return text;
    }
    Text out;
    out.reserve(text.size());
    std::size_t pos = 0;
    for (;;) {
        std::size_t hit = text.find(what, pos);
        if (hit == Text::npos) {
            out.append(text, pos, Text::npos);
            return out;
        }
        out.append(text, pos, hit - pos);
        pos = hit + what.size();
    }
}

Text TrimSpaces(const Text& text) {
    std::size_t first = text.find_first_not_of(u' ');
    if (first == Text::npos) {
        return Text();
    }
    std::size_t last = text.find_last_not_of(u' ');
    return text.substr(first, last - first + 1);
}

bool ParseDecimal(std::string_view digits, std::int32_t& value) {
    if (digits.empty()) {
        return false;
    }
    std::int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
        if (v > std::numeric_limits<std::int32_t>::max()) {
            return false;
        }
    }
    value = static_cast<std::int32_t>(v);
    return true;
}

Text ToDecimal(std::int64_t value) {
    return FromAscii(std::to_string(value));
}

}  // namespace ordane
