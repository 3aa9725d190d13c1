#include "log/diagnostic_log.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>
#include <vector>

#include "doubles/fake_log.h"

namespace ordane::test {
namespace {

// Only words written into the source pass for a log word: text built at run time, a
// reading's included, does not compile.
static_assert(std::is_constructible_v<LogWord, const char (&)[4]>);
static_assert(!std::is_constructible_v<LogWord, const char*>);
static_assert(!std::is_constructible_v<LogWord, std::string>);
static_assert(!std::is_constructible_v<LogWord, std::string_view>);
static_assert(!std::is_constructible_v<LogWord, Text>);

TEST(DiagnosticLogTest, ExchangeHexIsBoundedAndSaysHowMuchWasLeftOut) {
    const std::vector<std::uint8_t> query{0x16, 0x4D, 0x0D, 0xB3};
    EXPECT_EQ(HexBounded(query), "16 4D 0D B3");
    EXPECT_EQ(HexBounded({}), "(none)");
    const std::vector<std::uint8_t> burst(70, 0xAB);
    const std::string hex = HexBounded(burst);
    EXPECT_EQ(hex.size(), 64 * 3 - 1 + std::string(" (+6 more)").size());
    EXPECT_TRUE(hex.ends_with("AB AB (+6 more)")) << hex;
}

// A barcode scanned while the scanner is being identified arrives in the reply: of a
// scanner's reply only the length is written.
TEST(DiagnosticLogTest, AScannersReplyIsWrittenOnlyAsItsLength) {
    FakeLogSink sink;
    DiagnosticLog log(sink);
    const std::vector<std::uint8_t> query{0x16, 0x4D, 0x0D};
    const std::string scanned = "6901234567892\r";
    log.Exchange(LogDevice::Scanner, 3, query,
                 std::vector<std::uint8_t>(scanned.begin(), scanned.end()));
    const std::string all = sink.All();
    EXPECT_EQ(all.find("36 39 30 31"), std::string::npos) << all;
    EXPECT_EQ(all.find("6901234567892"), std::string::npos) << all;
    EXPECT_NE(all.find("16 4D 0D"), std::string::npos) << all;
    EXPECT_NE(all.find("14 bytes"), std::string::npos) << all;
}

TEST(DiagnosticLogTest, FileSizeIsCheckedEveryFewLinesAndRotatedFromOneMebibyte) {
    LogRotation rotation;
    int checks = 0;
    for (unsigned i = 0; i < 3 * LogRotation::kCheckEvery; ++i) {
        checks += rotation.LineWritten() ? 1 : 0;
    }
    EXPECT_EQ(checks, 3);
    EXPECT_FALSE(LogRotation::Due(1024 * 1024 - 1));
    EXPECT_TRUE(LogRotation::Due(1024 * 1024));
}

TEST(DiagnosticLogTest, ReopenAttemptsAreWrittenOnlyWhenTheirOutcomeChanges) {
    FakeLogSink sink;
    DiagnosticLog log(sink);
    for (int i = 0; i < 5; ++i) {
        log.ReopenAttempt(LogDevice::Scanner, 3, 2);
    }
    log.ReopenAttempt(LogDevice::Scanner, 3, 5);
    log.ReopenAttempt(LogDevice::Scanner, 3, 0);
    log.ReopenAttempt(LogDevice::Scanner, 3, 2);  // lost again later: a new series
    EXPECT_EQ(sink.lines, (std::vector<std::string>{
                              "scanner reopen port 3: failed, code 2 (attempt 1)",
                              "scanner reopen port 3: failed, code 5 (attempt 6)",
                              "scanner reopen port 3: ok (attempt 7)",
                              "scanner reopen port 3: failed, code 2 (attempt 1)",
                          }));
}

}  // namespace
}  // namespace ordane::test
