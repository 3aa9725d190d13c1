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

// A barcode scanned while a device is being identified arrives in the reply: of a reply only
// its length and whether it matched are written.
TEST(DiagnosticLogTest, AnIdentificationReplyIsWrittenOnlyAsItsLengthAndWhetherItMatched) {
    FakeLogSink sink;
    DiagnosticLog log(sink);
    const std::vector<std::uint8_t> query{0x16, 0x4D, 0x0D};
    log.Exchange(LogDevice::Scanner, 3, query, 14, false);
    log.Exchange(LogDevice::CardReader, 2, query, 11, true);
    EXPECT_EQ(sink.All(),
              "scanner identification port 3: sent 16 4D 0D; received 14 bytes, not "
              "matched\ncard reader identification port 2: sent 16 4D 0D; received 11 "
              "bytes, matched\n");
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

TEST(DiagnosticLogTest, TheLinesItMonitorsAreEventsWithTheirIdAndLevelOnceInARow) {
    FakeLogSink sink;
    FakeEventSink events;
    DiagnosticLog log(sink, events);
    using E = OrdaneEvent;
    using V = EventLevel;
    log.Event("card reader", "sdtapi.dll not loaded");
    log.Identified(LogDevice::CardReader, u"HX", u"", false);
    log.Identified(LogDevice::CardReader, u"HX", u"", false);        // asked again: not repeated
    log.Identified(LogDevice::CardReader, u"HX", u"HX-FDX3", true);  // a line, no event
    log.Event("card reader", "library call did not return in time", 3000);
    log.Event("card reader", "polling port failed", 2);
    log.Event("card reader", "polling port opens", 144);
    log.Delivered("keys", 13, 5, "not delivered: keys refused");
    log.Delivered("window", 40, 5, "not delivered: no target window");
    log.Delivered("keys", 13, 5, "delivered");
    log.Event("bridge", "off, could not listen on port", 8765);
    log.Event("bridge", "listening on port at last", 8765);
    const std::vector<std::pair<E, V>> expected = {
        {E::CardLibraryMissing, V::Error},    {E::DeviceNotAnswering, V::Warning},
        {E::DeviceNotAnswering, V::Warning},  {E::DeviceLost, V::Warning},
        {E::DeviceFound, V::Information},     {E::KeysRefused, V::Warning},
        {E::ReadingNotDelivered, V::Warning}, {E::BridgePortUnavailable, V::Warning}};
    ASSERT_EQ(events.events.size(), expected.size()) << sink.All();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(events.events[i].id, expected[i].first) << i;
        EXPECT_EQ(events.events[i].level, expected[i].second) << i;
        EXPECT_NE(sink.All().find(events.events[i].line + "\n"), std::string::npos) << i;
    }
}

}  // namespace
}  // namespace ordane::test
