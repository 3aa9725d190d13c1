#include "bridge/json.h"

namespace ordane::bridge {

namespace {

void AppendEscape(std::string& out, std::uint32_t unit) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) {
        out += kHex[(unit >> shift) & 0xF];
    }
}

bool High(char16_t c) {
    return c >= 0xD800 && c < 0xDC00;
}

bool Low(char16_t c) {
    return c >= 0xDC00 && c < 0xE000;
}

std::string Devices(const ReadingsStatus& status) {
    const auto device = [](const DeviceStatus& d) {
        return "{\"state\":\"" + std::string(DeviceStateName(d.state)) +
               "\",\"status\":" + JsonString(d.status) + ",\"model\":" + JsonString(d.model) + "}";
    };
    return "\"scanner\":" + device(status.scanner) + ",\"reader\":" + device(status.reader);
}

}  // namespace

std::string JsonString(const Text& text) {
    std::string out = "\"";
    std::size_t plainFrom = 0;  // characters not escaped go to UTF-8 in runs
    const auto flush = [&](std::size_t upTo) {
        out += ToUtf8(text.substr(plainFrom, upTo - plainFrom));
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (High(c) && i + 1 < text.size() && Low(text[i + 1])) {
            ++i;  // a pair: ToUtf8 joins it
            continue;
        }
        if (c >= 0x20 && c != u'"' && c != u'\\' && !High(c) && !Low(c)) {
            continue;
        }
        flush(i);
        plainFrom = i + 1;
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            AppendEscape(out, c);
        }
    }
    flush(text.size());
    return out + "\"";
}

std::string HelloMessage(std::string_view version, const ReadingsStatus& status, bool typeScans) {
    return "{\"type\":\"hello\",\"version\":" + JsonString(FromAscii(version)) +
           ",\"typeScans\":" + (typeScans ? "true" : "false") + "," + Devices(status) + "}";
}

std::string StatusMessage(const ReadingsStatus& status) {
    return "{\"type\":\"status\"," + Devices(status) + "}";
}

namespace {
std::string Known(std::optional<bool> delivered) {
    return !delivered ? "null" : (*delivered ? "true" : "false");
}
}  // namespace

std::string ScanMessage(const Text& text, ScanDelivery delivery, std::optional<bool> delivered) {
    const bool typed = delivery == ScanDelivery::Keys && delivered.value_or(false);
    return "{\"type\":\"scan\",\"text\":" + JsonString(text) + ",\"delivery\":\"" +
           (delivery == ScanDelivery::Keys     ? "keys"
            : delivery == ScanDelivery::Window ? "window"
                                               : "page") +
           "\",\"typed\":" + (typed ? "true" : "false") + ",\"delivered\":" + Known(delivered) +
           "}";
}

std::string CardMessage(const CardReading& card, std::optional<bool> delivered) {
    std::string out = "{\"type\":\"card\",\"cardKind\":\"" + std::string(CardKindName(card.kind)) +
                      "\",\"record\":" + JsonString(card.record);
    for (const NamedField& field : card.named) {
        out += ",\"" + std::string(field.name) + "\":" + JsonString(field.value);
    }
    if (card.kind != CardKind::Resident) {
        out += ",\"text\":" + JsonString(card.text);
    }
    return out + ",\"delivered\":" + Known(delivered) + "}";
}

std::string NoCardMessage() {
    return "{\"type\":\"noCard\"}";
}

std::string Stamped(std::string_view message, std::uint64_t seq, std::int64_t unixMs) {
    return "{\"seq\":" + std::to_string(seq) + ",\"time\":" + std::to_string(unixMs) + "," +
           std::string(message.substr(1));
}

std::string CardRemovedMessage() {
    return "{\"type\":\"cardRemoved\"}";
}

}  // namespace ordane::bridge
