#include <gtest/gtest.h>

#include <optional>

#include "common/delay.h"
#include "devices/scanner_channel.h"
#include "doubles/fake_pump.h"
#include "doubles/fake_serial_library.h"
#include "doubles/fake_symbol_link.h"

namespace ordane::test {
namespace {

TEST(DelayTest, WaitsRoundedHalfToEvenStepsPlusOneAndPumpsAfterEach) {
    struct Case {
        double seconds;
        int steps;
    };
    for (Case c : {Case{0, 1}, Case{0.2, 3}, Case{0.5, 6}, Case{1.5, 16}, Case{2, 21},
                   Case{2.5, 26}, Case{0.05, 1}, Case{0.15, 3}, Case{0.25, 3}, Case{-1, 0}}) {
        FakePump pump;
        Delay(pump, c.seconds);
        EXPECT_EQ(pump.Now(), 100u * static_cast<unsigned>(c.steps)) << c.seconds;
        EXPECT_EQ(pump.DoEventsCalls(), c.steps) << c.seconds;
    }
    FakePump pump;
    int dispatched = 0;
    pump.Post([&] { ++dispatched; }, 250);
    Delay(pump, 0.2);
    EXPECT_EQ(dispatched, 1);  // handled inside the wait, at its third step
}

class ScannerChannelTest : public ::testing::Test {
  protected:
    ScannerChannelTest()
        : channel(scannerModel, comm, [this]() -> FrmSymbol& {
              ++created;
              symbol.emplace(link, pump, 77);
              link.Attach(*symbol);
              return *symbol;
          }) {}

    Text scannerModel;
    FakePump pump;
    FakeSerialLibrary comm;
    FakeSymbolLink link{pump};
    std::optional<FrmSymbol> symbol;
    int created = 0;
    ScannerChannel channel;
};

TEST_F(ScannerChannelTest, ExactlySymbolGoesToTheSymbolChannelOtherSpellingsToCommDll) {
    scannerModel = u"Symbol";
    EXPECT_TRUE(
        channel.OpenScannerPort(3, LineSettings(19200, 7, Parity::Even, StopBits::Two)).opened);
    EXPECT_EQ(link.Log(),
              (std::vector<std::string>{"conn 77 9600 3", "setbuff 3 5000", "setparam 3 ee 01"}));
    EXPECT_EQ(comm.Log(), std::vector<std::string>{"close"});  // lets go of the port, if held
    const std::uint8_t query[] = {1, 2};
    EXPECT_EQ(channel.WriteScannerPort(query, 2), 0);  // the Symbol channel takes no commands
    EXPECT_EQ(created, 1);

    for (const char16_t* brand : {u"symbol", u"SYMBOL", u"HHP", u"NewLand", u""}) {
        scannerModel = brand;
        comm = FakeSerialLibrary();
        comm.openResult = 5;
        EXPECT_EQ(channel.OpenScannerPort(4, LineSettings(9600, 8, Parity::Odd)).code, 5);
        EXPECT_EQ(comm.Log(), std::vector<std::string>{"open 4 9600 8 1 0"});
    }
    EXPECT_EQ(created, 1);
}

TEST_F(ScannerChannelTest, CloseGoesToThePathOfTheBrandAtTheTimeOfTheClose) {
    scannerModel = u"HHP";
    channel.OpenScannerPort(3, LineSettings());
    scannerModel = u"Symbol";
    channel.CloseScannerPort();
    EXPECT_EQ(comm.closes, 0);
    EXPECT_EQ(link.Log().back(), "disconn 77 0");

    scannerModel = u"DataLogic";
    channel.ClearScannerRXBuff();
    channel.CloseScannerPort();
    EXPECT_EQ(comm.clears, 1);
    EXPECT_EQ(comm.closes, 1);
}

TEST_F(ScannerChannelTest, ThePathHoldingThePortReleasesItBeforeTheOtherOpensIt) {
    scannerModel = u"HHP";
    channel.OpenScannerPort(3, LineSettings());
    scannerModel = u"Symbol";  // the brand changed in the dialog: close, reopen
    channel.CloseScannerPort();
    EXPECT_TRUE(channel.OpenScannerPort(3, LineSettings()).opened);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_TRUE(link.Connected());

    scannerModel = u"HHP";
    channel.CloseScannerPort();
    EXPECT_TRUE(channel.OpenScannerPort(3, LineSettings()).opened);
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(comm.IsOpen());
}

TEST_F(ScannerChannelTest, ReadNeverReportsMoreThanAskedOnEitherPath) {
    scannerModel = u"HHP";
    channel.OpenScannerPort(3, LineSettings());
    comm.overReport = 30;  // a library that claims more than it copied
    comm.Queue(Bytes(40, 'x'));
    std::uint8_t buff[26] = {};
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 25);
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 25);  // 15 copied, 45 claimed
    comm.overReport = 0;
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 0);

    scannerModel = u"Symbol";
    channel.OpenScannerPort(3, LineSettings());
    link.DeliverData(Bytes(35, 'y'));
    pump.DoEvents();
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 25);
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 15);  // the block and its "DE6K8"
    EXPECT_EQ(channel.ReadScannerPort(buff, 25), 0);
}

}  // namespace
}  // namespace ordane::test
