#include "monitor_fixture.h"

#include <utility>

#include "app/status_texts.h"

namespace ordane::test {
namespace {

// A scanner that has been identified and is polled by Timer1.
class ScannerLoopTest : public MonitorTest {
  protected:
    void StartScanner(const std::string& brand = "HHP", bool addEnter = true) {
        WriteSettings(true, false, brand);
        profile.Set("BCINFO", "AddEnter", addEnter ? "1" : "0");
        frm.Form_Load();
        frm.ScannerStarted = true;  // identification is tested on its own
        frm.SetScannerState(0);
    }
    // Sends a reading and lets the loop deliver it.
    void ScanAndSettle(const std::string& text) {
        Scan(text);
        pump.RunFor(1000);
    }
    std::vector<Text> Typed() const {
        std::vector<Text> texts;
        for (const auto& t : delivery.typed) {
            texts.push_back(t.text);
        }
        return texts;
    }
};

TEST_F(ScannerLoopTest, PlainBarcodeIsTypedUnchangedWithOrWithoutEnter) {
    StartScanner("HHP", true);
    ScanAndSettle("6901234567892");
    ASSERT_EQ(delivery.typed.size(), 1u);
    EXPECT_EQ(delivery.typed[0], (FakeDelivery::Typed{u"6901234567892", true}));
    frmSet.AddEnter = false;
    ScanAndSettle("123");
    ASSERT_EQ(delivery.typed.size(), 2u);
    EXPECT_EQ(delivery.typed[1], (FakeDelivery::Typed{u"123", false}));
    EXPECT_TRUE(delivery.received.empty());
    EXPECT_EQ(view.Label(1), status::kScannerWaiting);
    EXPECT_TRUE(view.Showed(1, status::kScannerReading));
}

TEST_F(ScannerLoopTest, KnownTypeCodesAfterEitherMarkerGoToTheTargetWindow) {
    StartScanner();
    ScanAndSettle("DE6K8ZCCCHGZ_abc|123");
    ScanAndSettle("DA36LHGFOZ_x");
    ScanAndSettle("DE6K8QTZS00_last");
    ASSERT_EQ(delivery.received.size(), 3u);
    EXPECT_EQ(delivery.received[0], u"ZCCCHGZ_abc|123");
    EXPECT_EQ(delivery.received[1], u"HGFOZ_x");
    EXPECT_EQ(delivery.received[2], u"QTZS00_last");
    EXPECT_EQ(delivery.titles[0], kTargetWindowTitle);
    EXPECT_TRUE(delivery.typed.empty());
}

TEST_F(ScannerLoopTest, EachReadingGoesToTheBrowserBridgeAsDeliveredAndPagesMayTakeBarcodes) {
    StartScanner();
    ScanAndSettle("DE6K812DA36L3");
    ScanAndSettle("DA36LHGFOZ_x");
    readings.takesScans = true;  // TypeScans=0 and a page connected
    ScanAndSettle("456");
    ScanAndSettle("DE6K8ZCCCHGZ_y");
    using S = FakeReadings::Scanned;
    EXPECT_EQ(readings.scans, (std::vector<S>{{u"123", ScanDelivery::Keys},
                                              {u"HGFOZ_x", ScanDelivery::Window},
                                              {u"456", ScanDelivery::Keys},
                                              {u"ZCCCHGZ_y", ScanDelivery::Window}}));
    EXPECT_EQ(Typed(), (std::vector<Text>{u"123"}));
    EXPECT_EQ(delivery.received, (std::vector<Text>{u"HGFOZ_x", u"ZCCCHGZ_y"}));
    ASSERT_FALSE(readings.statuses.empty());
    EXPECT_EQ(readings.statuses.back().scanner.status, status::kScannerWaiting);
    for (const ReadingsStatus& s : readings.statuses) {
        EXPECT_NE(s.scanner.status, status::kScannerReading);
    }
}

TEST_F(ScannerLoopTest, MarkersWithoutAKnownCodeAndUnderscoreArePlainBarcodes) {
    StartScanner();
    ScanAndSettle("DE6K8QTZS100_x");  // no code is followed by "_" here
    ScanAndSettle("DE6K8ZCCCHGZ");    // a code without "_"
    ScanAndSettle("12DE6K834DA36L5");
    ScanAndSettle("DE6K8");
    EXPECT_EQ(Typed(), (std::vector<Text>{u"QTZS100_x", u"ZCCCHGZ", u"12345", u""}));
    EXPECT_TRUE(delivery.received.empty());
}

TEST_F(ScannerLoopTest, NewLandReadingsCountAsMarkedDensoReadingsDoNot) {
    StartScanner("NewLand");
    ScanAndSettle("HGFOZ_123");
    ScanAndSettle("456");
    ASSERT_EQ(delivery.received.size(), 1u);
    EXPECT_EQ(delivery.received[0], u"HGFOZ_123");
    EXPECT_EQ(Typed(), std::vector<Text>{u"456"});

    frmSet.ScannerModel = u"Denso";
    ScanAndSettle("HGFOZ_123");
    EXPECT_EQ(delivery.received.size(), 1u);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"456", u"HGFOZ_123"}));
}

TEST_F(ScannerLoopTest, ChunksCloserThan200MsMakeOneScanFartherMakeTwo) {
    StartScanner();
    commDll.Arrive(pump, 0, AsBytes("1111"));
    commDll.Arrive(pump, 150, AsBytes("2222"));
    commDll.Arrive(pump, 300, AsBytes("3333"));
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), std::vector<Text>{u"111122223333"});

    commDll.Arrive(pump, 0, AsBytes("AAAA"));
    commDll.Arrive(pump, 300, AsBytes("BBBB"));
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"111122223333", u"AAAA", u"BBBB"}));
}

TEST_F(ScannerLoopTest, ScanIsFramedAcrossTheWrapOfTheTickCounter) {
    pump.SetTickBase(0xFFFFFF00u);
    StartScanner();
    commDll.Arrive(pump, 0, AsBytes("12"));
    commDll.Arrive(pump, 150, AsBytes("34"));  // the counter wraps in between
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), std::vector<Text>{u"1234"});
}

// Timer1 ticks at 50, 100, ... ms after the load; the first chunk arrives at 25 ms and is read
// by the tick at 50 ms, the second arrives 230 ms after that read.
TEST_F(ScannerLoopTest, ChunkArrivingWhileTheLoopStillWaitsJoinsTheScan) {
    StartScanner();
    commDll.Arrive(pump, 25, AsBytes("1111"));
    commDll.Arrive(pump, 280, AsBytes("2222"));
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), std::vector<Text>{u"11112222"});
}

TEST_F(ScannerLoopTest, TimeAnotherHandlerTakesCountsTowardsThePause) {
    StartScanner();
    commDll.Arrive(pump, 25, AsBytes("1111"));
    commDll.Arrive(pump, 280, AsBytes("2222"));
    // Another handler (a card read) dispatched inside the collection blocks for 120 ms.
    pump.Post([this] { pump.Advance(120); }, 60);
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"1111", u"2222"}));
}

TEST_F(ScannerLoopTest, ScanLongerThanTheFirstBufferIsDeliveredWhole) {
    StartScanner();
    std::string big;
    for (int i = 0; i < 100000; ++i) {
        big += static_cast<char>('0' + i % 10);
    }
    // As fast as a 115200 bit/s line delivers: 25-byte reads every 50 ms would take minutes,
    // so the data is all there at once and the loop drains it.
    Scan(big);
    pump.RunFor(250000);
    ASSERT_EQ(delivery.typed.size(), 1u);
    EXPECT_EQ(delivery.typed[0].text.size(), big.size());
    EXPECT_EQ(ToUtf8(delivery.typed[0].text), big);
}

TEST_F(ScannerLoopTest, TicksDuringACollectionReturnAtOnce) {
    StartScanner();
    commDll.Arrive(pump, 0, AsBytes("12"));
    commDll.Arrive(pump, 120, AsBytes("34"));
    commDll.Arrive(pump, 240, AsBytes("56"));
    pump.RunFor(1500);
    // Many Timer1 ticks came due while the first tick pumped; only one scan was delivered.
    EXPECT_EQ(Typed(), std::vector<Text>{u"123456"});
}

TEST_F(ScannerLoopTest, NothingHappensWhileThePortIsNotOpen) {
    StartScanner();
    frm.ScannerOpen = false;
    frm.ScannerStarted = false;
    commDll.ClearLog();
    frm.Timer1_Timer();
    EXPECT_TRUE(commDll.Log().empty());
}

TEST_F(ScannerLoopTest, LongReadingsArriveAsSoonAsTheLineIsQuiet) {
    StartScanner();
    // 10 000 bytes at 115200 bit/s (about 87 us a byte), in the pieces a driver hands over.
    const std::string code = "DE6K8ZCCCHGZ_" + std::string(9987, 'x');
    const std::uint32_t pieceMs = 10;
    const std::size_t piece = 115;
    std::uint32_t at = 0;
    for (std::size_t i = 0; i < code.size(); i += piece, at += pieceMs) {
        Scan(code.substr(i, piece), at);
    }
    const std::uint64_t lastByte = pump.Now() + at - pieceMs;
    ASSERT_TRUE(pump.RunUntil([&] { return !delivery.received.empty(); }, 5000));
    EXPECT_LE(pump.Now() - lastByte, 300u);
    pump.RunFor(1000);
    ASSERT_EQ(delivery.received.size(), 1u);
    EXPECT_EQ(delivery.received[0], FromAscii(code.substr(5)));

    // The framing is unchanged: pieces 150 ms apart are one reading, 300 ms apart two (the
    // pause is measured from the read that found the data, on the 50 ms rhythm, so 250 ms is
    // where the two meet).
    Scan("11", 0);
    Scan("22", 150);
    Scan("33", 300);
    pump.RunFor(1000);
    Scan("44", 0);
    Scan("55", 300);
    pump.RunFor(1000);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"112233", u"44", u"55"}));

    // At 9600 bit/s a byte comes every 1.04 ms: a long reading spread evenly is never split.
    for (std::uint32_t i = 0; i < 800; ++i) {
        Scan("0123456789", i * 1042 / 100);
    }
    pump.RunFor(10000);
    ASSERT_EQ(Typed().size(), 4u);
    EXPECT_EQ(Typed()[3].size(), 8000u);
}

TEST_F(ScannerLoopTest, EndlessStreamIsDroppedAtOneMebibyteAndTheLoopGoesOn) {
    StartScanner();
    // Noise at a wrong line speed with never a pause: 1.25 MiB, 4 KiB every 10 ms.
    for (std::uint32_t i = 0; i < 320; ++i) {
        Scan(std::string(4096, '\x55'), i * 10);
    }
    const int dispatched = pump.DoEventsCalls();
    pump.RunFor(5000);
    EXPECT_GT(pump.DoEventsCalls() - dispatched, 100);  // the window kept answering
    EXPECT_TRUE(delivery.typed.empty());
    EXPECT_EQ(view.Label(2), status::kScanTooLong);
    EXPECT_EQ(view.Label(1), status::kScannerWaiting);
    ScanAndSettle("6901234567892");
    EXPECT_EQ(Typed(), std::vector<Text>{u"6901234567892"});
    EXPECT_TRUE(view.Label(2).empty());  // the next reading clears the notice
}

TEST_F(ScannerLoopTest, UnpluggedScannerIsReportedThenReopenedAndIdentifiedByItself) {
    WriteSettings(true, true, "HHP");
    AttachHhpScanner();
    AttachHsReader();
    StartAndSettle(8000);
    ASSERT_FALSE(view.visible);
    Scan(std::string(300, '7'), 0);
    pump.At(30, [this] { commDll.unplugged = true; });
    ASSERT_TRUE(pump.RunUntil([this] { return !delivery.typed.empty(); }, 1000));
    // The reading's keys may still be on their way for 0.5 s and 1 ms per character (800 ms
    // here): the window shows only then, at the next tick of the 50 ms timer.
    pump.RunFor(780);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(pump.RunUntil([this] { return view.visible; }, 90));
    pump.RunFor(1000);
    EXPECT_EQ(Typed(), std::vector<Text>{Text(300, u'7')});
    EXPECT_EQ(view.Label(1), status::kScannerPortFailed);
    EXPECT_EQ(view.Label(2), status::kCheckSettingsHint);
    EXPECT_TRUE(view.visible);
    EXPECT_FALSE(commDll.IsOpen());

    commDll.opens.clear();
    pump.RunFor(10000);
    EXPECT_GE(commDll.opens.size(), 4u);  // tried again, at most every 2 s
    EXPECT_LE(commDll.opens.size(), 5u);
    EXPECT_EQ(view.Label(1), status::kScannerPortFailed);

    // Back, but still powering up: asked again and again while cards are read.
    const auto answers = std::exchange(commDll.responder, nullptr);
    commDll.unplugged = false;
    commDll.writes.clear();
    sdtapi.LayCard(u"张三");
    pump.RunFor(16000);
    EXPECT_EQ(view.Label(1), status::kScannerNotDetected);
    EXPECT_GE(commDll.writes.size(), 3u);
    EXPECT_GE(delivery.received.size(), 10u);
    commDll.responder = answers;
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(7), u"型号:IT4600Q");
    EXPECT_EQ(view.Label(1), status::kScannerWaiting);
    EXPECT_TRUE(view.Label(2).empty());
    EXPECT_FALSE(view.visible);
    EXPECT_EQ(view.shows, std::vector<Activation>(2, Activation::Keep));  // lost, then silent
    ScanAndSettle("after replug");
    EXPECT_EQ(Typed().back(), u"after replug");
}

}  // namespace
}  // namespace ordane::test
