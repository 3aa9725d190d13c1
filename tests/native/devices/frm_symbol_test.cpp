#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "devices/frm_symbol.h"
#include "devices/ssi_host.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_symbol_link.h"

namespace ordane::test {
namespace {

Bytes Ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

class FrmSymbolTest : public ::testing::Test {
  protected:
    FrmSymbolTest() { link.Attach(symbol); }

    std::string Read(std::int32_t size) {
        std::string out(static_cast<std::size_t>(size) + 1, '\0');
        const std::int32_t n = symbol.ReadData(reinterpret_cast<std::uint8_t*>(out.data()), size);
        out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        return out;
    }

    FakePump pump;
    FakeSymbolLink link{pump};
    FrmSymbol symbol{link, pump, 42};
};

TEST_F(FrmSymbolTest, FailedConnectSetsNothingUpAndCloseUsesTheRememberedPort) {
    link.connResult = 9;
    EXPECT_EQ(symbol.OpenPort(5, 9600, 8, 0, 0), 9);
    EXPECT_EQ(link.Log(), std::vector<std::string>{"conn 42 9600 5"});
    symbol.ClosePort();
    EXPECT_EQ(link.Log().back(), "disconn 42 0");
    link.connResult = 0;
    EXPECT_EQ(symbol.OpenPort(6, 115200, 7, 2, 1), 0);
    EXPECT_EQ(link.params.back(), (Bytes{0xEE, 0x01}));
    symbol.ClosePort();
    EXPECT_EQ(link.Log().back(), "disconn 42 6");
}

// Each block was acknowledged to the scanner before it got here: however many arrive before
// the program reads, each comes back once, whole, in order, stamped with its arrival.
TEST_F(FrmSymbolTest, BlocksArrivedBeforeAnyReadComeBackEachWholeInOrder) {
    struct Block {
        std::string data;
        std::uint32_t delayMs;
    };
    struct Case {
        const char* name;
        std::vector<Block> blocks;
        bool byTake;  // TakeArrived, else ReadData in pieces of 25
    };
    const std::vector<Case> cases = {
        {"two scans 30 ms apart", {{"123456789012", 0}, {"SECOND", 30}}, true},
        {"two scans in one moment", {{"1111", 0}, {"2222", 0}}, true},
        {"an empty block is no reading", {{"A", 0}, {"", 10}, {"B", 20}}, true},
        {"read as bytes", {{"123456789012", 0}, {"SECOND", 30}, {"THIRD", 40}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        symbol.ClearRXBuff();
        symbol.OpenPort(3, 9600, 8, 0, 0);
        const auto start = static_cast<std::uint32_t>(pump.Now());
        std::vector<ArrivedBytes> expected;
        std::string expectedBytes;
        for (const Block& block : c.blocks) {
            link.DeliverData(Ascii(block.data), block.delayMs);
            if (!block.data.empty()) {
                expected.push_back({"DE6K8" + block.data, start + block.delayMs, true});
                expectedBytes += expected.back().bytes;
            }
        }
        pump.RunFor(100);
        EXPECT_EQ(symbol.PendingCount(), static_cast<std::int32_t>(expectedBytes.size()));
        if (c.byTake) {
            std::vector<ArrivedBytes> got;
            EXPECT_EQ(symbol.TakeArrived(got), static_cast<std::int32_t>(expected.size()));
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].bytes, expected[i].bytes);
                EXPECT_EQ(got[i].at, expected[i].at);
                EXPECT_TRUE(got[i].wholeReading);
            }
        } else {
            std::string got;
            for (std::string piece; !(piece = Read(25)).empty();) {
                got += piece;
            }
            EXPECT_EQ(got, expectedBytes);
        }
        EXPECT_EQ(symbol.PendingCount(), 0);
    }
    EXPECT_EQ(symbol.DroppedCount(), 0u);
}

TEST_F(FrmSymbolTest, BeyondTheBoundTheNewReadingIsDroppedAndCounted) {
    symbol.OpenPort(3, 9600, 8, 0, 0);
    for (std::size_t i = 0; i <= FrmSymbol::kMaxReadings; ++i) {
        link.DeliverData(Ascii(std::to_string(i)));
    }
    pump.DoEvents();
    EXPECT_EQ(symbol.DroppedCount(), 1u);
    std::vector<ArrivedBytes> got;
    ASSERT_EQ(symbol.TakeArrived(got), static_cast<std::int32_t>(FrmSymbol::kMaxReadings));
    EXPECT_EQ(got.front().bytes, "DE6K80");
    EXPECT_EQ(got.back().bytes, "DE6K8" + std::to_string(FrmSymbol::kMaxReadings - 1));
    // The scanner's port went away: once nothing is left, both reads say so.
    link.unplugged = true;
    EXPECT_EQ(symbol.TakeArrived(got), -1);
    EXPECT_EQ(symbol.ReadData(nullptr, 0), -1);
}

// Every reading acknowledged to the scanner and not handed on is told, with why.
TEST_F(FrmSymbolTest, EachReadingDroppedIsToldWithWhy) {
    symbol.OpenPort(3, 9600, 8, 0, 0);
    for (std::size_t i = 0; i <= FrmSymbol::kMaxReadings; ++i) {
        link.DeliverData(Ascii("1"));
    }
    link.DeliverLost(SsiReading::Loss::kGivenUp);
    pump.DoEvents();
    std::vector<LogWord> losses;
    symbol.TakeLosses(losses);
    ASSERT_EQ(losses.size(), 2u);
    EXPECT_EQ(losses[0].View(), "Symbol reading beyond 64 unread");
    EXPECT_EQ(losses[1].View(), "Symbol reading given up by the scanner part-way");
    symbol.ClosePort();  // 64 still unread
    losses.clear();
    symbol.TakeLosses(losses);
    EXPECT_EQ(losses.size(), FrmSymbol::kMaxReadings);
}

TEST_F(FrmSymbolTest, StoreHandsABlockOutInPieces) {
    symbol.OpenPort(3, 9600, 8, 0, 0);

    const std::string data = "abcdefghijklmnopqrstuvwxyz0123456789";  // 35 + 5 = 40 pending
    link.DeliverData(Ascii(data));
    pump.DoEvents();
    EXPECT_EQ(Read(25), ("DE6K8" + data).substr(0, 25));
    EXPECT_EQ(Read(25), data.substr(20));
    EXPECT_EQ(Read(25), "");

    link.DeliverData(Ascii("zz"));
    pump.DoEvents();
    const std::uint8_t bytes[] = {1, 2, 3};
    EXPECT_EQ(symbol.WriteData(bytes, 3), 0);
    EXPECT_EQ(symbol.ClearRXBuff(), 0);
    EXPECT_EQ(Read(25), "");
}

TEST_F(FrmSymbolTest, OversizeBlockKeepsWhatFits) {
    symbol.OpenPort(3, 9600, 8, 0, 0);
    Bytes block(5000);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<std::uint8_t>('a' + i % 26);
    }
    link.DeliverData(block);
    pump.DoEvents();
    ASSERT_EQ(symbol.PendingCount(), 5001);
    Bytes all;
    std::uint8_t buff[700];
    for (std::int32_t n; (n = symbol.ReadData(buff, 700)) > 0;) {
        all.insert(all.end(), buff, buff + n);
    }
    EXPECT_EQ(all.size(), 5001u);
    EXPECT_TRUE(std::equal(block.begin(), block.begin() + 4996, all.begin() + 5));
}

TEST_F(FrmSymbolTest, CheckSymbolLooksForTheEngineInTheVersionGatheredDuringItsWait) {
    symbol.OpenPort(3, 9600, 8, 0, 0);
    EXPECT_FALSE(symbol.CheckSymbol());  // no reply: empty version text
    EXPECT_EQ(symbol.ScannerXH, u"");

    link.versionReply = Ascii("x nbrpyaabc 7");
    EXPECT_TRUE(symbol.CheckSymbol());
    EXPECT_EQ(symbol.ScannerXH, u"DS6607");
    // An identified scanner may have been switched off and on since the port opened: its
    // readings are asked for as packets again.
    const std::vector<std::string> tail(link.Log().end() - 2, link.Log().end());
    EXPECT_EQ(tail, (std::vector<std::string>{"version 3", "setparam 3 ee 01"}));
    EXPECT_EQ(pump.Now(), 2200u);  // two waits of Delay 1

    link.versionReply = Ascii("PAABFS00-004-R03");
    EXPECT_FALSE(symbol.CheckSymbol());  // text from the earlier check is not kept
    EXPECT_EQ(symbol.VersionText(), u"PAABFS00-004-R03");
    EXPECT_EQ(symbol.ScannerXH, u"DS6607");

    link.versionReply = Ascii("NBRPYA");
    link.versionDelayMs = 1200;  // after the wait
    EXPECT_FALSE(symbol.CheckSymbol());
}

}  // namespace
}  // namespace ordane::test
