#include "devices/scanner_identification.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace ordane {

namespace {

// Query bytes of each brand, as the scanners expect them.
constexpr std::uint8_t kHhpQuery[] = {0x16, 0x4D, 0x0D, 0x50, 0x5F, 0x4E,
                                      0x41, 0x4D, 0x45, 0x3F, 0x2E};        // SYN M CR P_NAME?.
constexpr std::uint8_t kDataLogicQuery[] = {0x24, 0x2B, 0x24, 0x21, 0x0D};  // $+$! CR
constexpr std::uint8_t kMetrologicQuery[] = {0x49, 0x69};                   // Ii
constexpr std::uint8_t kNewLandQuery[] = {0x7E, 0x00, 0x00, 0x05, 0x33,
                                          0x48, 0x30, 0x32, 0x30, 0xB3};

constexpr std::int32_t kWriteStrReadCount = 15;
constexpr std::size_t kReadBufferSize = 64;  // more than any read count used here

// A Denso scanner's replies name its model or its number.
bool IsDenso(const Text& replies) {
    return ContainsIgnoreCase(replies, u"496810") || ContainsIgnoreCase(replies, u"GT10QU");
}

template <std::size_t N>
constexpr std::int32_t CountOf(const std::uint8_t (&)[N]) {
    return static_cast<std::int32_t>(N);
}

// Reads up to readCount bytes; the reply text, one character per byte, or empty.
Text ReadReply(ScannerChannel& channel, std::int32_t readCount) {
    std::array<std::uint8_t, kReadBufferSize> buff{};
    readCount = std::min<std::int32_t>(readCount, static_cast<std::int32_t>(buff.size()));
    const std::int32_t n = channel.ReadScannerPort(buff.data(), readCount);
    if (n <= 0) {
        return Text();
    }
    return FromBytesAsLatin1(buff.data(), static_cast<std::size_t>(std::min(n, readCount)));
}

}  // namespace

ScannerIdentification::ScannerIdentification(ScannerChannel& channel, MessagePump& pump,
                                             DiagnosticLog& log)
    : channel_(channel), pump_(pump), log_(log) {}

void ScannerIdentification::LogExchange(const std::uint8_t* query, std::int32_t count,
                                        const Text& reply, bool matched) {
    log_.Exchange(LogDevice::Scanner, channel_.OpenedPort(),
                  std::span(query, static_cast<std::size_t>(std::max(count, 0))), reply.size(),
                  matched);
}

Text ScannerIdentification::Exchange(const std::uint8_t* query, std::int32_t count, double wait,
                                     std::int32_t readCount) {
    channel_.ClearScannerRXBuff();
    channel_.WriteScannerPort(query, count);
    Delay(pump_, wait);
    return ReadReply(channel_, readCount);
}

bool ScannerIdentification::CheckHHP() {
    const Text reply = Exchange(kHhpQuery, CountOf(kHhpQuery), 2, 25);
    bool found = false;
    // Both tests run, so a reply naming both models ends with the later one.
    if (ContainsIgnoreCase(reply, u"IT4600-050")) {
        ScannerXH = u"IT4600Q";
        found = true;
    }
    if (ContainsIgnoreCase(reply, u"IT4800-050")) {
        ScannerXH = u"IT4800Q";
        found = true;
    }
    LogExchange(kHhpQuery, CountOf(kHhpQuery), reply, found);
    return found;
}

bool ScannerIdentification::CheckDataLogic() {
    const Text reply = Exchange(kDataLogicQuery, CountOf(kDataLogicQuery), 1, 50);
    const bool found = ContainsIgnoreCase(reply, u"D432");
    LogExchange(kDataLogicQuery, CountOf(kDataLogicQuery), reply, found);
    if (found) {
        ScannerXH = u"LYNX D432";
    }
    return found;
}

bool ScannerIdentification::CheckMetrologic() {
    const Text reply = Exchange(kMetrologicQuery, CountOf(kMetrologicQuery), 0.2, 25);
    const bool found = ContainsIgnoreCase(reply, u"Metrologic012");
    LogExchange(kMetrologicQuery, CountOf(kMetrologicQuery), reply, found);
    if (found) {
        ScannerXH = u"Focus-1690";
    }
    return found;
}

bool ScannerIdentification::CheckNewLand() {
    const Text reply = Exchange(kNewLandQuery, CountOf(kNewLandQuery), 0.2, 25);
    const bool found = ContainsIgnoreCase(reply, u"NLSHR103");
    LogExchange(kNewLandQuery, CountOf(kNewLandQuery), reply, found);
    if (found) {
        ScannerXH = u"NLS-HR-103";
    }
    return found;
}

Text ScannerIdentification::WriteStrToPort(const Text& str, double t) {
    if (str.empty()) {
        return Text();
    }
    Bytes bytes;
    bytes.reserve(str.size());
    for (char16_t c : str) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
    }
    channel_.WriteScannerPort(bytes.data(), static_cast<std::int32_t>(bytes.size()));
    Delay(pump_, t);
    Text reply = ReadReply(channel_, kWriteStrReadCount);
    LogExchange(bytes.data(), static_cast<std::int32_t>(bytes.size()), reply, IsDenso(reply));
    return reply;
}

bool ScannerIdentification::CheckDenso() {
    const Text stx(1, u'\x02');
    const Text etx(1, u'\x03');
    Text replies;
    replies += WriteStrToPort(u"\x16\x16\x16", 0.6);
    replies += WriteStrToPort(stx + u"aaaaaaa5$a" + etx, 0.3);
    replies += WriteStrToPort(stx + u"aaaaaaa+1a" + etx, 0.3);
    replies += WriteStrToPort(stx + u"aaaaaaa79a" + etx, 0.3);
    replies += WriteStrToPort(stx + u"SETN" + etx, 0.3);
    replies += WriteStrToPort(u"\x16\x17\x16", 0.3);
    if (IsDenso(replies)) {
        ScannerXH = u"GT10QU";
        return true;
    }
    return false;
}

bool ScannerIdentification::CheckSymbol() {
    FrmSymbol& symbol = channel_.Symbol();
    const bool found = symbol.CheckSymbol();
    ScannerXH = symbol.ScannerXH;
    return found;
}

bool ScannerIdentification::CheckScanner(const Text& scannerModel) {
    if (scannerModel == u"HHP") {
        return CheckHHP();
    }
    if (scannerModel == u"DataLogic") {
        return CheckDataLogic();
    }
    if (scannerModel == u"Denso") {
        return CheckDenso();
    }
    if (scannerModel == u"Symbol") {
        return CheckSymbol();
    }
    if (scannerModel == u"Metrologic") {
        return CheckMetrologic();
    }
    if (scannerModel == u"NewLand") {
        return CheckNewLand();
    }
    return false;
}

}  // namespace ordane
