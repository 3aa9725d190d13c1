#include "monitor_fixture.h"

#include "app/status_texts.h"

namespace ordane::test {
namespace {

using DetectScannerTest = MonitorTest;

TEST_F(DetectScannerTest, IdentifiedScannerShowsBrandAndModelThenHides) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    frm.Form_Load();
    // Clicks on Settings and Exit while detection runs have no effect.
    pump.Post(
        [this] {
            EXPECT_FALSE(frm.CommandEnabled(5));
            frm.OnCommandClick(5);
            frm.OnCommandClick(6);
        },
        1000);
    const std::size_t before = view.history.size();
    pump.RunFor(8000);
    EXPECT_EQ(settingsView.Showings(), 0);
    EXPECT_FALSE(view.unloaded);

    std::vector<std::pair<int, Text>> shown(view.history.begin() + static_cast<long>(before),
                                            view.history.end());
    const std::vector<std::pair<int, Text>> expected = {
        {1, status::kScannerDetecting}, {1, u"检测到HHP条码扫描仪"},  {3, u"设备:HHP"},
        {7, u"型号:IT4600Q"},           {1, status::kScannerWaiting},
    };
    EXPECT_EQ(shown, expected);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(frm.Scanner().ScannerStarted());
    EXPECT_TRUE(frm.Timer1().Enabled());
    EXPECT_TRUE(frm.CommandEnabled(4) && frm.CommandEnabled(5) && frm.CommandEnabled(6));
}

// A close request (the installer, Task Manager, the close box) while the detection holds the
// commands ends the program once the detection is done; the session ending ends it at once.
TEST_F(DetectScannerTest, CloseRequestDuringDetectionEndsTheProgramAfterIt) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    frm.Form_Load();
    pump.Post([this] { frm.OnCloseRequested(); }, 1000);
    pump.RunFor(1500);
    EXPECT_FALSE(view.unloaded);  // not under the detection's waits
    pump.RunFor(8000);
    EXPECT_TRUE(view.unloaded);
}

TEST_F(DetectScannerTest, SessionEndingDuringDetectionEndsTheProgramAtOnce) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    frm.Form_Load();
    pump.Post([this] { frm.OnSessionEnding(); }, 1000);
    pump.RunFor(1100);
    EXPECT_TRUE(view.unloaded);
}

TEST_F(DetectScannerTest, DetectionWaitsTwiceBeforeHiding) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    frm.Form_Load();
    std::uint64_t detectedAt = 0;
    std::uint64_t modelAt = 0;
    std::uint64_t hiddenAt = 0;
    pump.SetTimerHandler([&](int id) {
        frm.OnTimer(id);
        if (hiddenAt == 0 && !view.visible) {
            hiddenAt = pump.Now();
        }
    });
    // Observe the lines between the waits through a message posted every 100 ms.
    std::function<void()> watch = [&] {
        if (detectedAt == 0 && view.Label(1) == u"检测到HHP条码扫描仪") {
            detectedAt = pump.Now();
        }
        if (modelAt == 0 && !view.Label(7).empty()) {
            modelAt = pump.Now();
        }
        pump.Post(watch, 100);
    };
    pump.Post(watch, 0);
    pump.RunFor(8000);
    ASSERT_NE(detectedAt, 0u);
    ASSERT_NE(modelAt, 0u);
    EXPECT_NEAR(static_cast<double>(modelAt - detectedAt), 2100, 150);
    EXPECT_NEAR(static_cast<double>(hiddenAt - modelAt), 2100, 150);
}

TEST_F(DetectScannerTest, BytesOfTheExchangeAreNeverDeliveredReadingsOnceFoundAre) {
    WriteSettings(true, false, "HHP");
    // The scanner answers at length; once the window says it was found, the clerk scans
    // (during the two waits that show its model).
    commDll.responder = [this](const Bytes& written) {
        if (written == kHhpQuery) {
            commDll.Arrive(pump, 100, AsBytes("IT4800-050 and more of the reply"));
        }
    };
    frm.Form_Load();
    bool found = false;
    std::function<void()> watch = [&] {
        if (view.Label(1) != u"检测到HHP条码扫描仪") {
            pump.Post(watch, 50);
            return;
        }
        found = true;
        Scan("4006381333931", 500);
        Scan("9787111", 2500);
    };
    pump.Post(watch, 0);
    pump.RunFor(9000);
    EXPECT_TRUE(found);
    EXPECT_EQ(view.Label(7), u"型号:IT4800Q");
    EXPECT_TRUE(delivery.received.empty());
    ASSERT_EQ(delivery.typed.size(), 2u);
    EXPECT_EQ(delivery.typed[0].text, u"4006381333931");
    EXPECT_EQ(delivery.typed[1].text, u"9787111");
}

TEST_F(DetectScannerTest, FailedIdentificationDeliversNothingAndKeepsItsTexts) {
    WriteSettings(true, false, "HHP");
    // A reply longer than the identification reads: the rest is still in the port after.
    AttachHhpScanner("another scanner's long reply IT4600-050");
    StartAndSettle(6000);
    EXPECT_TRUE(delivery.typed.empty());
    EXPECT_EQ(view.Label(1), status::kScannerNotDetected);
    EXPECT_EQ(view.Label(2), status::kCheckSettingsHint);
}

TEST_F(DetectScannerTest, UnknownBrandTakesTheFailedIdentificationPath) {
    WriteSettings(true, false, "Honeywell");
    StartAndSettle(3000);
    EXPECT_EQ(view.Label(1), status::kScannerNotDetected);
    Scan("123");
    pump.RunFor(3000);
    EXPECT_TRUE(delivery.typed.empty());
}

TEST_F(DetectScannerTest, GreyedScannerBoxIsAScannerInUse) {
    WriteSettings(true, false, "HHP");
    profile.Set("BCINFO", "UsePort1", "2");
    AttachHhpScanner();
    StartAndSettle(6000);
    EXPECT_EQ(commDll.opens.at(0).port, 3);
    EXPECT_EQ(commDll.writes.front(), kHhpQuery);
    EXPECT_EQ(view.Label(3), status::kDevicePrefix + Text(u"HHP"));
    EXPECT_TRUE(frm.Timer1().Enabled());
    Scan("123");
    pump.RunFor(1000);
    ASSERT_EQ(delivery.typed.size(), 1u);
    EXPECT_EQ(delivery.typed[0].text, u"123");
}

TEST_F(DetectScannerTest, SymbolScannerIsIdentifiedAndItsBlocksDeliveredMarked) {
    WriteSettings(true, false, "Symbol");
    symbolLink.versionReply = AsBytes("NBRPYAAC 10 DS6607 ab");
    frm.Form_Load();
    pump.RunFor(6000);
    EXPECT_EQ(view.Label(7), u"型号:DS6607");
    symbolLink.DeliverData(AsBytes("ZCCCHGZ_from symbol"));
    symbolLink.DeliverData(AsBytes("kept although the first block was not read yet"));
    pump.RunFor(1000);
    symbolLink.DeliverData(AsBytes("9787111"));
    pump.RunFor(1000);
    ASSERT_EQ(delivery.received.size(), 1u);
    EXPECT_EQ(delivery.received[0], u"ZCCCHGZ_from symbol");
    ASSERT_EQ(delivery.typed.size(), 2u);
    EXPECT_EQ(delivery.typed[0].text, u"kept although the first block was not read yet");
    EXPECT_EQ(delivery.typed[1].text, u"9787111");
}

TEST_F(DetectScannerTest, UnpluggedSymbolScannerIsReportedAndComesBackByItself) {
    WriteSettings(true, false, "Symbol");
    symbolLink.versionReply = AsBytes("NBRPYAAC 10 DS6607 ab");
    StartAndSettle(6000);
    symbolLink.unplugged = true;
    pump.RunFor(3000);
    EXPECT_EQ(view.Label(1), status::kScannerPortFailed);
    EXPECT_TRUE(view.visible);
    symbolLink.unplugged = false;
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(7), u"型号:DS6607");
    EXPECT_FALSE(view.visible);
    symbolLink.DeliverData(AsBytes("9787111"));
    pump.RunFor(1000);
    ASSERT_EQ(delivery.typed.size(), 1u);
    EXPECT_EQ(delivery.typed[0].text, u"9787111");
}

}  // namespace
}  // namespace ordane::test
