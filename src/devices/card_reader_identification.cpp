#include "devices/card_reader_identification.h"

#include <algorithm>
#include <array>
#include <span>

#include "common/delay.h"

namespace ordane {

namespace {

constexpr std::int32_t kProbeBaudRate = 115200;
constexpr double kReplyWait = 0.5;

std::uint32_t BigEndian32(const std::uint8_t* b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) |
           std::uint32_t{b[3]};
}

// One exchange: open, clear, send, wait, read into a zeroed answer buffer, close in every
// case. Returns how many bytes arrived (0 or less: none).
std::int32_t Exchange(SerialLibrary& lib, MessagePump& pump, DiagnosticLog& log, std::int32_t port,
                      std::span<const std::uint8_t> request, std::array<std::uint8_t, 27>& answer,
                      std::int32_t readCount) {
    answer.fill(0);
    const std::int32_t opened = lib.OpenPort(port, LineSettings(kProbeBaudRate));
    log.Opened(LogDevice::CardReader, port, opened);
    lib.ClearRXBuff();
    lib.WriteData(request.data(), static_cast<std::int32_t>(request.size()));
    Delay(pump, kReplyWait);
    const std::int32_t n = lib.ReadData(answer.data(), readCount);
    log.Closed(LogDevice::CardReader, port, lib.ClosePort());
    return n;
}

void LogExchange(DiagnosticLog& log, std::int32_t port, std::span<const std::uint8_t> request,
                 std::int32_t n, std::int32_t readCount, bool matched) {
    log.Exchange(LogDevice::CardReader, port, request,
                 static_cast<std::size_t>(std::clamp(n, 0, readCount)), matched);
}

}  // namespace

std::uint32_t HxExpectedAnswer(std::uint32_t c) {
    return ((c ^ kHxK1) | kHxK2) & kHxK3;
}

CardReaderIdentification::CardReaderIdentification(const Text& cardReaderMake,
                                                   SerialLibrary& commDll2, MessagePump& pump,
                                                   DiagnosticLog& log)
    : cardReaderMake_(cardReaderMake), commDll2_(commDll2), pump_(pump), log_(log) {}

bool CardReaderIdentification::CheckCardReader(std::int32_t port) {
    const bool hx = cardReaderMake_ == u"华旭";
    const bool found = hx ? CheckHxCardReader(port) : CheckHsCardReader(port);
    if (found) {
        CardReaderXh = hx ? u"HX-FDX3" : u"CVR-100U";
    }
    return found;
}

bool CardReaderIdentification::CheckHxCardReader(std::int32_t port) {
    std::array<std::uint8_t, 10> request{0x55, 0x05, 0x31, 0x00, 0x00, 0x00, 0x00, 0xFD};
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < 8; ++i) {
        check = static_cast<std::uint8_t>(check ^ request[i]);
    }
    request[8] = check;
    std::array<std::uint8_t, 27> answer{};
    const std::span<const std::uint8_t> sent(request.data(), 9);
    const std::int32_t n = Exchange(commDll2_, pump_, log_, port, sent, answer, 9);
    const bool matched =
        n >= 1 && BigEndian32(&answer[3]) == HxExpectedAnswer(BigEndian32(&request[3]));
    LogExchange(log_, port, sent, n, 9, matched);
    return matched;
}

bool CardReaderIdentification::CheckHsCardReader(std::int32_t port) {
    const std::array<std::uint8_t, 7> request{0x02, 0x00, 0x07, 0x03, 0x01, 0x00, 0x03};
    std::array<std::uint8_t, 27> answer{};
    const std::int32_t n = Exchange(commDll2_, pump_, log_, port, request, answer, 11);
    // All seven frame bytes must match. Byte 1 is expected to be 0x00, which is what the
    // zeroed buffer holds wherever nothing arrived, so accepting any single matching byte
    // would take any device that sends one byte of anything for this reader.
    const bool matched = n >= 1 && answer[0] == 0x02 && answer[1] == 0x00 && answer[2] == 0x0B &&
                         answer[3] == 0x03 && answer[8] == 0x02 && answer[9] == 0x0B &&
                         answer[10] == 0x03;
    LogExchange(log_, port, request, n, 11, matched);
    return matched;
}

}  // namespace ordane
