#include "app/scan_settings.h"

#include <algorithm>
#include <cctype>

#include "common/text.h"

namespace ordane {

namespace {

std::string Normalised(const std::string& value) {
    const std::size_t first = value.find_first_not_of(" \t");
    const std::size_t last = value.find_last_not_of(" \t");
    std::string out =
        first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

}  // namespace

ScanSettings ReadScanSettings(ProfileFile& policy, ProfileFile& file) {
    const auto raw = [&](const char* key) {
        static const std::string absent = "<absent>";  // no value of these keys looks like it
        const std::string fixed = policy.Read("SCAN", key, absent);
        return fixed != absent ? fixed : file.Read("SCAN", key, "");
    };
    const auto value = [&](const char* key) { return Normalised(raw(key)); };
    ScanSettings settings;
    const std::string terminator = value("Terminator");
    if (terminator == "CR") {
        settings.terminator = std::string(1, '\r');
    } else if (terminator == "LF") {
        settings.terminator = std::string(1, '\n');
    } else if (terminator == "CRLF") {
        settings.terminator = std::string{'\r', '\n'};
    }
    std::int32_t delay = 0;
    if (ParseDecimal(value("KeyDelay"), delay) && delay > 0) {
        settings.keyDelayMs =
            std::min<std::uint32_t>(static_cast<std::uint32_t>(delay), kMaxKeyDelayMs);
    }
    const std::string encoding = value("Encoding");
    if (encoding == "AUTO") {
        settings.encoding = ScanEncoding::Auto;
    } else if (encoding == "UTF8" || encoding == "UTF-8") {
        settings.encoding = ScanEncoding::Utf8;
    }
    settings.keyMode = value("KeyMode") == "KEYS" ? KeyMode::Keys : KeyMode::Unicode;
    const std::string gs = raw("GS");
    const std::size_t first = gs.find_first_not_of(" \t");
    if (first != std::string::npos) {
        settings.groupSeparator = gs.substr(first, gs.find_last_not_of(" \t") - first + 1);
    }
    return settings;
}

}  // namespace ordane
