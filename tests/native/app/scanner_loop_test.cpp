#include "monitor_fixture.h"

#include <cctype>
#include <functional>
#include <ostream>
#include <utility>

#include "devices/ssi_host.h"
#include "app/status_texts.h"

namespace ordane::test {
namespace {

// A scanner that has been identified and is polled by Timer1.
// [SCAN] as a test sets it; the rest as without the section.
ScanSettings ScanSection(std::string terminator, std::uint32_t keyDelayMs, std::string gs = {}) {
    ScanSettings scan;
    scan.terminator = std::move(terminator);
    scan.keyDelayMs = keyDelayMs;
    scan.groupSeparator = std::move(gs);
    return scan;
}

class ScannerLoopTest : public MonitorTest {
  protected:
    void StartScanner(const std::string& brand = "HHP", bool addEnter = true) {
        WriteSettings(true, false, brand);
        profile.Set("BCINFO", "AddEnter", addEnter ? "1" : "0");
        frm.Form_Load();
        frm.Scanner().MarkIdentified();  // identification is tested on its own
        frm.Scanner().SetScannerState(0);
    }
    // A value of Setting.ini changed while running (as by a policy refresh), the scanner still
    // identified.
    void Rewrite(const std::string& key, const std::string& value) {
        profile.Set("BCINFO", key, value);
        frm.OnPolicyChanged();
        frm.Scanner().MarkIdentified();
        frm.Scanner().SetScannerState(0);
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
    Rewrite("AddEnter", "0");
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
                                              {u"456", ScanDelivery::Page},
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

    Rewrite("Scanner", "Denso");
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

// The pause is judged by when the bytes arrived: 190 ms of quiet join, 210 ms split, however
// the loop's 50 ms rhythm falls.
TEST_F(ScannerLoopTest, ChunkArrivingWithinThePauseJoinsTheScan) {
    StartScanner();
    commDll.Arrive(pump, 25, AsBytes("1111"));
    commDll.Arrive(pump, 215, AsBytes("2222"));
    commDll.Arrive(pump, 425, AsBytes("3333"));
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"11112222", u"3333"}));
}

TEST_F(ScannerLoopTest, TimeAnotherHandlerTakesNeitherSplitsNorJoinsReadings) {
    StartScanner();
    commDll.Arrive(pump, 25, AsBytes("1111"));
    commDll.Arrive(pump, 150, AsBytes("2222"));
    commDll.Arrive(pump, 600, AsBytes("3333"));
    // Another handler blocks the window for 900 ms while all three arrive.
    pump.Post([this] { pump.Advance(900); }, 10);
    pump.RunFor(1500);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"11112222", u"3333"}));
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
    frm.Scanner().Close();
    frm.Scanner().ReopenAfterSettings();  // opened again, not yet identified
    commDll.openResult = 5;
    frm.Scanner().ReopenAfterSettings();  // and now it does not open
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
    bool answered = false;  // the window keeps answering while the stream runs
    pump.Post([&answered] { answered = true; }, 1000);
    pump.RunFor(5000);
    EXPECT_TRUE(answered);
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
    pump.At(300, [this] { commDll.unplugged = true; });  // after the reading ended
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

// What IT sees of a run in the Windows event log: its start, the scanner unplugged and found
// again, its end; each event a line of the diagnostic log, so none carries a reading.
TEST_F(ScannerLoopTest, ARunsEventsAreItsStartTheScannerLostAndFoundAndItsEnd) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    log.Started("1.0.0", "127.0.0.1:18471");
    StartAndSettle(8000);
    ScanAndSettle("6901234567892");
    commDll.unplugged = true;
    pump.RunFor(5000);  // asked again every 2 s: one event, not one a try
    commDll.unplugged = false;
    pump.RunFor(8000);
    ScanAndSettle("6901234567892");
    log.Exited();
    using E = OrdaneEvent;
    EXPECT_EQ(events.Ids(), (std::vector<E>{E::Started, E::DeviceLost, E::DeviceFound, E::Ended}));
    const std::vector<std::string> lines = {
        "start: Ordane 1.0.0, registration server 127.0.0.1:18471", "scanner: port lost",
        "scanner reopen port 3: ok (attempt 3)", "exit: 2 deliveries"};
    for (std::size_t i = 0; i < events.events.size() && i < lines.size(); ++i) {
        EXPECT_EQ(events.events[i].line, lines[i]);
        EXPECT_EQ(events.events[i].line.find("6901234567892"), std::string::npos);
    }
    EXPECT_EQ(events.events[1].level, EventLevel::Warning);
}

// ---- The scanner follows its adapter ----

struct MovedCase {
    const char* name;
    const char*
        onNewPort;  // what answers the HHP query on the new port: "HHP", "" (nothing), "other"
    bool followed;
    int newPort = 7;  // a machine that has seen many adapters numbers them high
};

class ScannerMovedTest : public MonitorTest, public ::testing::WithParamInterface<MovedCase> {};
using ScannerMovedPortTest = MonitorTest;

TEST_P(ScannerMovedTest, AScannerThatAnswersOnANewPortIsUsedAnythingElseLeftAlone) {
    const MovedCase& c = GetParam();
    WriteSettings(true, false, "HHP", "3");
    AttachHhpScanner();
    StartAndSettle(8000);
    commDll.unplugged = true;
    pump.RunFor(3000);
    ASSERT_EQ(view.Label(1), status::kScannerPortFailed);

    // The adapter comes back on another socket: COM3 gone, the new port there.
    const std::string onNewPort = c.onNewPort;
    const int newPort = c.newPort;
    commDll.responder = [this, onNewPort, newPort](const Bytes& written) {
        if (commDll.opens.back().port == newPort && written == kHhpQuery && !onNewPort.empty()) {
            commDll.Arrive(pump, 100, AsBytes(onNewPort == "HHP" ? "IT4600-050 r1" : "\x15?"));
        }
    };
    probe.SetPresent({1, 2, 6, c.newPort});
    commDll.absent = {3};
    commDll.unplugged = false;
    commDll.writes.clear();
    pump.RunFor(12000);
    EXPECT_EQ(commDll.writes.size(), 1u) << c.name << ": asked once";
    if (!c.followed) {
        EXPECT_FALSE(commDll.IsOpen()) << c.name << ": left alone";
        EXPECT_EQ(monitor.InForce().Port, 3) << c.name;
        EXPECT_EQ(profile.Value("BCINFO", "Port"), "3") << c.name;
        EXPECT_EQ(view.Label(1), status::kScannerPortFailed) << c.name;
        return;
    }
    EXPECT_EQ(monitor.InForce().Port, c.newPort) << c.name;
    EXPECT_EQ(frmSet.Values().Port, c.newPort) << c.name;
    EXPECT_EQ(profile.Value("BCINFO", "Port"), std::to_string(c.newPort)) << c.name;
    EXPECT_EQ(view.Label(1), status::kScannerWaiting) << c.name;
    EXPECT_EQ(view.Label(2), Text(status::kScannerMovedPrefix) + ToDecimal(c.newPort)) << c.name;
    EXPECT_NE(logLines.All().find("found on another port, Setting.ini Port written, code " +
                                  std::to_string(c.newPort)),
              std::string::npos)
        << logLines.All();
    Scan("after the move");
    pump.RunFor(1000);
    ASSERT_FALSE(delivery.typed.empty()) << c.name;
    EXPECT_EQ(delivery.typed.back().text, u"after the move") << c.name;
}

INSTANTIATE_TEST_SUITE_P(Adapter, ScannerMovedTest,
                         ::testing::Values(MovedCase{"our scanner", "HHP", true},
                                           MovedCase{"a port that answers nothing", "", false},
                                           MovedCase{"another brand's device", "other", false},
                                           MovedCase{"our scanner on COM257", "HHP", true, 257}),
                         [](const ::testing::TestParamInfo<MovedCase>& m) {
                             return (std::string(m.param.onNewPort).empty()
                                         ? std::string("Nothing")
                                         : std::string(m.param.onNewPort)) +
                                    std::to_string(m.param.newPort);
                         });

// The search for a lost scanner never writes the settings: a port the clerk confirms in the
// dialog meanwhile (the loops run under a modal dialog) is the one that stays.
TEST_F(ScannerMovedPortTest, APortConfirmedDuringTheSearchIsKept) {
    WriteSettings(true, false, "HHP", "3");
    AttachHhpScanner();
    StartAndSettle(8000);
    commDll.unplugged = true;
    pump.RunFor(3000);
    bool confirmed = false;
    commDll.responder = [this, &confirmed](const Bytes& written) {
        if (!confirmed && commDll.opens.back().port == 7 && written == kHhpQuery) {
            confirmed = true;  // COM7 answers nothing; the clerk picks COM2 and confirms
            frmSet.OnListSelect(SettingsList::cbPort, 1);
            frmSet.Command1_Click();
        }
    };
    probe.SetPresent({1, 2, 6, 7});
    commDll.absent = {3};
    commDll.unplugged = false;
    settingsView.OnNextShowing([this](FrmSet&) { pump.RunFor(5000); });
    frm.OnCommandClick(5);
    ASSERT_TRUE(confirmed);
    EXPECT_EQ(monitor.InForce().Port, 2);
    EXPECT_EQ(profile.Value("BCINFO", "Port"), "2");
}

// ---- Where a reading ends ----

TEST(ScanCollectorTest, ReadingsEndWhereTheLineWentQuietByTheArrivalStamps) {
    struct Piece {
        std::uint32_t at;
        const char* bytes;
        bool whole;
        std::uint32_t unseenMs = 0;  // the port's reader had not looked for this long
    };
    struct Case {
        const char* name;
        std::vector<Piece> pieces;
        std::uint32_t now;  // when the collector looks last
        std::vector<std::string> readings;
        bool stillCollecting;
        std::optional<std::uint32_t> lineSeenAt = {};  // the reader's last look; else now
    };
    const std::vector<Case> cases = {
        {"one piece, looked at within the pause", {{0, "12", false}}, 200, {}, true},
        {"one piece, looked at after the pause", {{0, "12", false}}, 201, {"12"}, false},
        {"200 ms apart join", {{0, "12", false}, {200, "34", false}}, 1000, {"1234"}, false},
        {"201 ms apart split", {{0, "12", false}, {201, "34", false}}, 1000, {"12", "34"}, false},
        {"seen late, still apart",
         {{0, "1", false}, {700, "2", false}, {1400, "3", false}},
         5000,
         {"1", "2", "3"},
         false},
        {"across the counter's wrap",
         {{0xFFFFFFF0u, "1", false}, {0x10, "2", false}},
         0x100,
         {"12"},
         false},
        {"whole blocks never join",
         {{0, "A", true}, {0, "B", true}, {1, "C", false}},
         10,
         {"A", "B"},
         true},
        {"a whole block ends the reading before it",
         {{0, "1", false}, {10, "S", true}},
         10,
         {"1", "S"},
         false},
        // A reader held by a loaded machine finds the rest of a reading late: the gap in the
        // stamps is the reader's, not the line's.
        {"found 300 ms late by a held reader: one reading",
         {{0, "12", false}, {300, "34", false, 300}},
         1000,
         {"1234"},
         false},
        {"the reader saw half the pause quiet: two",
         {{0, "12", false}, {250, "34", false, 150}},
         1000,
         {"12", "34"},
         false},
        {"the reader saw less than half: one",
         {{0, "12", false}, {250, "34", false, 151}},
         1000,
         {"1234"},
         false},
        {"not ended while the reader has not looked", {{0, "12", false}}, 500, {}, true, 99},
        {"ended once the reader saw half the pause", {{0, "12", false}}, 201, {"12"}, false, 100},
    };
    for (const Case& c : cases) {
        ScanCollector collector;
        std::vector<CollectedReading> finished;
        for (const Piece& p : c.pieces) {
            collector.Add(ArrivedBytes{p.bytes, p.at, p.whole, p.unseenMs}, finished);
        }
        collector.Finish(c.now, c.lineSeenAt.value_or(c.now), finished);
        std::vector<std::string> readings;
        for (const CollectedReading& r : finished) {
            readings.push_back(r.bytes);
        }
        EXPECT_EQ(readings, c.readings) << c.name;
        EXPECT_EQ(collector.Collecting(), c.stillCollecting) << c.name;
    }
}

TEST(ScanCollectorTest, ReadingsEndAtTheirTerminatorWhereverItFalls) {
    struct Piece {
        std::uint32_t at;
        const char* bytes;
        bool whole;
    };
    struct Case {
        const char* name;
        const char* terminator;
        std::vector<Piece> pieces;
        std::uint32_t now;
        std::vector<std::string> readings;
        bool stillCollecting;
    };
    const std::vector<Case> cases = {
        {"none: a CR is the reading's own", "", {{0, "12\r", false}}, 201, {"12\r"}, false},
        {"ends at once, CR not kept", "\r", {{0, "123\r", false}}, 0, {"123"}, false},
        {"two in one piece are two", "\r", {{0, "12\r34\r", false}}, 0, {"12", "34"}, false},
        {"the next begins in the same piece", "\r", {{0, "12\r3", false}}, 0, {"12"}, true},
        {"a terminator alone is no reading",
         "\n",
         {{0, "\n", false}, {1, "9\n", false}},
         1,
         {"9"},
         false},
        {"CR LF split between pieces",
         "\r\n",
         {{0, "12\r", false}, {5, "\n34\r\n", false}},
         5,
         {"12", "34"},
         false},
        {"CR LF: a CR alone is kept", "\r\n", {{0, "1\r2\r\n", false}}, 0, {"1\r2"}, false},
        {"CR LF: a last CR alone, then quiet", "\r\n", {{0, "12\r", false}}, 201, {"12\r"}, false},
        {"CR LF: a CR then other bytes",
         "\r\n",
         {{0, "1\r", false}, {5, "2\r\n", false}},
         5,
         {"1\r2"},
         false},
        {"a whole block loses its terminator", "\r", {{0, "S\r", true}}, 0, {"S"}, false},
    };
    for (const Case& c : cases) {
        ScanCollector collector(c.terminator);
        std::vector<CollectedReading> finished;
        for (const Piece& p : c.pieces) {
            collector.Add(ArrivedBytes{p.bytes, p.at, p.whole}, finished);
        }
        collector.Finish(c.now, finished);
        std::vector<std::string> readings;
        for (const CollectedReading& r : finished) {
            readings.push_back(r.bytes);
        }
        EXPECT_EQ(readings, c.readings) << c.name;
        EXPECT_EQ(collector.Collecting(), c.stillCollecting) << c.name;
    }
}

// A reading's terminator arriving: how long after it the reading is typed.
struct TerminatorCase {
    const char* name;
    const char* terminator;
    bool wake;  // the port's reader says the terminator arrived
    std::uint32_t typedAfterMs;
    Text typed;
};

class TerminatorTest : public MonitorTest, public ::testing::WithParamInterface<TerminatorCase> {
  protected:
    TerminatorTest() : MonitorTest(ScanSection(GetParam().terminator, 0)) {}
};

TEST_P(TerminatorTest, ReadingIsTypedAsSoonAsItsEndIsKnown) {
    const TerminatorCase& c = GetParam();
    WriteSettings(true, false);
    frm.Form_Load();
    frm.Scanner().MarkIdentified();
    pump.RunFor(105);  // 5 ms after a tick
    Scan("6901234567892\r");
    if (c.wake) {
        pump.Post([this] { frm.OnScanTerminated(); }, 1);  // posted once the bytes are queued
    }
    std::uint32_t waited = 0;
    while (delivery.typed.empty() && waited < 1000) {
        pump.RunFor(1);
        ++waited;
    }
    ASSERT_EQ(delivery.typed.size(), 1u) << c.name;
    EXPECT_EQ(delivery.typed[0], (FakeDelivery::Typed{c.typed, true})) << c.name;
    EXPECT_LE(waited, c.typedAfterMs) << c.name;
    EXPECT_GE(waited + 50, c.typedAfterMs) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Framing, TerminatorTest,
    ::testing::Values(TerminatorCase{"after the quiet time, at a tick", "", true, 250,
                                     u"6901234567892\r"},
                      TerminatorCase{"at the next tick", "\r", false, 45, u"6901234567892"},
                      TerminatorCase{"at once", "\r", true, 2, u"6901234567892"}),
    [](const ::testing::TestParamInfo<TerminatorCase>& c) {
        return std::string(c.param.terminator).empty() ? std::string("None")
               : c.param.wake                          ? std::string("Wake")
                                                       : std::string("Tick");
    });

// ---- How a reading's bytes become text ----

TEST(DecodeReadingTest, ChineseTextInEitherEncoding) {
    const std::string gbkPlate =
        "\xBE\xA9"
        "A12345";  // 京A12345
    const std::string utf8Plate =
        "\xE4\xBA\xAC"
        "A12345";
    const std::string gbkAddress =
        "\xB1\xB1\xBE\xA9\xCA\xD0\xBA\xA3\xB5\xED\xC7\xF8\xD6\xD0\xB9\xD8\xB4\xE5\xB4\xF3\xBD\xD6"
        "27\xBA\xC5";
    const std::string utf8Address = ToUtf8(u"北京市海淀区中关村大街27号");
    const std::string bom = "\xEF\xBB\xBF";
    // 鲁 in GBK (C2 B3) is also a valid UTF-8 sequence, for "³"; 京 after it is not.
    const std::string gbkLuThenJing =
        "\xC2\xB3"
        "A\xBE\xA9";
    const std::string gbkLuPlate =
        "\xC2\xB3"
        "B12345";
    struct Case {
        const char* name;
        ScanEncoding encoding;
        std::string bytes;
        Text text;
    };
    const std::vector<Case> cases = {
        {"code page: GBK plate", ScanEncoding::CodePage, gbkPlate, u"京A12345"},
        {"code page: UTF-8 is read as GBK, as always", ScanEncoding::CodePage, utf8Plate,
         FakeCodec().Decode(utf8Plate)},
        {"auto: GBK plate", ScanEncoding::Auto, gbkPlate, u"京A12345"},
        {"auto: UTF-8 plate", ScanEncoding::Auto, utf8Plate, u"京A12345"},
        {"auto: GBK address", ScanEncoding::Auto, gbkAddress, u"北京市海淀区中关村大街27号"},
        {"auto: UTF-8 address", ScanEncoding::Auto, utf8Address, u"北京市海淀区中关村大街27号"},
        {"auto: BOM and UTF-8", ScanEncoding::Auto, bom + utf8Address,
         u"北京市海淀区中关村大街27号"},
        {"auto: ASCII", ScanEncoding::Auto, "6901234567892", u"6901234567892"},
        {"auto: GBK valid UTF-8 for its first bytes", ScanEncoding::Auto, gbkLuThenJing, u"鲁A京"},
        {"auto: GBK wholly valid UTF-8 is misjudged", ScanEncoding::Auto, gbkLuPlate,
         u"\u00B3B12345"},
        {"utf8: UTF-8 plate", ScanEncoding::Utf8, utf8Plate, u"京A12345"},
        {"utf8: GBK plate, not UTF-8 at all", ScanEncoding::Utf8, gbkPlate, u"京A12345"},
        {"utf8: surrogate bytes are not UTF-8", ScanEncoding::Utf8, "\xED\xA0\x80",
         FakeCodec().Decode("\xED\xA0\x80")},
    };
    const FakeCodec codec;
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeReading(c.bytes, c.encoding, codec), c.text) << c.name;
    }
}

// ---- The group separator of GS1 codes ----

class GroupSeparatorTest : public MonitorTest {
  protected:
    GroupSeparatorTest() : MonitorTest(ScanSection("", 0, "<GS>")) {}
};

TEST_F(GroupSeparatorTest, IsTypedAsSetWhileWindowTextsAndPagesKeepTheReading) {
    WriteSettings(true, false);
    frm.Form_Load();
    frm.Scanner().MarkIdentified();
    Scan("0104012345678901\03510ABC\03521X");  // \035: the group separator
    Scan("DE6K8ZCCCHGZ_a\035b", 500);
    pump.RunFor(1500);
    ASSERT_EQ(delivery.typed.size(), 1u);
    EXPECT_EQ(delivery.typed[0].text, u"0104012345678901<GS>10ABC<GS>21X");
    EXPECT_EQ(delivery.received, std::vector<Text>{u"ZCCCHGZ_a\035b"});
    ASSERT_EQ(readings.scans.size(), 2u);
    EXPECT_EQ(readings.scans[0].text, u"0104012345678901\03510ABC\03521X");
}

// ---- Typing paced for slow targets ----

class KeyDelayTest : public MonitorTest {
  protected:
    KeyDelayTest() : MonitorTest(ScanSection("", 40)) {
        typingWorker.durationMs = 15 * 40;  // a 13-digit code and Enter, 40 ms apart
    }
    std::string ExitWhileTyping(std::uint32_t typingMs) {
        typingWorker.durationMs = typingMs;
        WriteSettings(true, false);
        frm.Form_Load();
        frm.Scanner().MarkIdentified();
        Scan("6901234567892");
        pump.RunFor(400);  // being typed
        frm.OnCloseRequested();
        frm.Form_Unload();
        EXPECT_EQ(logLines.All().find("not delivered"), std::string::npos);
        return logLines.All();
    }
    std::vector<Text> Typed() const {
        std::vector<Text> texts;
        for (const auto& t : delivery.typed) {
            texts.push_back(t.text);
        }
        return texts;
    }
};

TEST_F(KeyDelayTest, ReadingsAreTypedOneAtATimeInOrderEachWaitingItsTurn) {
    WriteSettings(true, false);
    frm.Form_Load();
    frm.Scanner().MarkIdentified();
    Scan("6901234567892");
    Scan("6901234567893", 250);
    Scan("6901234567894", 500);
    pump.RunFor(800);  // the first is still being typed
    EXPECT_EQ(Typed(), (std::vector<Text>{u"6901234567892"}));
    EXPECT_TRUE(frm.Router().Holding());
    pump.RunFor(2000);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"6901234567892", u"6901234567893", u"6901234567894"}));
    EXPECT_EQ(delivery.pacedDelays, (std::vector<std::uint32_t>{40, 40, 40}));
    EXPECT_EQ(typingWorker.started, 3);
    EXPECT_FALSE(frm.Router().Holding());
    EXPECT_EQ(view.Label(1), status::kScannerWaiting);
}

TEST_F(KeyDelayTest, ReadingsWaitingBehindASlowReadingAreToldPastTheBound) {
    typingWorker.durationMs = 12000;  // a long code typed at 200 ms a key
    WriteSettings(true, false);
    frm.Form_Load();
    frm.Scanner().MarkIdentified();
    Scan("6901234567892");
    Scan("6901234567893", 250);
    pump.RunFor(ReadingRouter::kHoldMs + 500);
    EXPECT_EQ(Typed(), (std::vector<Text>{u"6901234567892"}));
    EXPECT_NE(logLines.All().find("not delivered: waited too long"), std::string::npos);
    EXPECT_EQ(view.Label(2), status::kWaitedTooLong);
    EXPECT_TRUE(frm.Router().Holding());  // the first is still being typed
}

// Exit while a reading is typed slowly: it gets about 2 s to finish, else it is told interrupted;
// the log never says "not delivered" for keys still being typed.
TEST_F(KeyDelayTest, AReadingTypedAtExitFinishesWithinTwoSeconds) {
    EXPECT_NE(ExitWhileTyping(1500).find(", delivered"), std::string::npos);
}

TEST_F(KeyDelayTest, AReadingStillTypedAfterTwoSecondsIsToldInterrupted) {
    EXPECT_NE(ExitWhileTyping(5000).find("interrupted: program ended while its keys"),
              std::string::npos);
}

// ---- Readings stay apart and arrive once, whatever holds the program ----

// What holds the program while a 2-D code and three barcodes arrive 0.7 s apart, and what
// lets it go again after ten seconds.
struct Holdable {
    FakeWorker& cardWorker;
    FakeCardLibrary& sdtapi;
    FakeDelivery& delivery;
    FakeHttpClient& httpClient;
    FakePump& pump;
    FrmMain& frm;
};
struct HoldCase {
    const char* name;
    const char* brand;
    std::function<void(Holdable&)> hold;
    std::function<void(Holdable&)> release;
    bool noKeysWhileHeld = false;  // keys would press the controls of Ordane's own window
};
// A failing row is named by what holds the program, not dumped as bytes.
void PrintTo(const HoldCase& c, std::ostream* os) {
    *os << c.name;
}

class ReadingsWhateverHoldsTheProgramTest : public MonitorTest,
                                            public ::testing::WithParamInterface<HoldCase> {};

TEST_P(ReadingsWhateverHoldsTheProgramTest, StayApartInOrderAndArriveOnce) {
    const HoldCase& c = GetParam();
    WriteSettings(true, true, c.brand);
    AttachHhpScanner();
    AttachHsReader();
    symbolLink.versionReply = AsBytes("NBRPYAAC 10 DS6607 ab");
    StartAndSettle(8000);
    ASSERT_EQ(view.Label(1), status::kScannerWaiting);
    Holdable program{cardWorker, sdtapi, delivery, httpClient, pump, frm};
    c.hold(program);
    const std::vector<std::string> sent = {"DE6K8ZCCCHGZ_abc", "111111", "222222", "333333"};
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const auto at = static_cast<std::uint32_t>(100 + 700 * i);
        if (std::string(c.brand) == "Symbol") {
            // The link puts the marker in front itself; a second block right behind the first
            // is its own reading.
            const std::string block = i == 0 ? sent[i].substr(5) : sent[i];
            symbolLink.DeliverData(AsBytes(block), at);
            symbolLink.DeliverData(AsBytes(block + "+"), at + 1);
        } else {
            Scan(sent[i], at);
        }
    }
    pump.RunFor(9000);
    if (c.noKeysWhileHeld) {
        EXPECT_TRUE(delivery.typed.empty()) << c.name;
    }
    c.release(program);
    pump.RunFor(5000);
    std::vector<Text> expectTyped = {u"111111", u"222222", u"333333"};
    std::vector<Text> expectWindow = {u"ZCCCHGZ_abc"};
    if (std::string(c.brand) == "Symbol") {
        expectTyped = {u"111111", u"111111+", u"222222", u"222222+", u"333333", u"333333+"};
        expectWindow = {u"ZCCCHGZ_abc", u"ZCCCHGZ_abc+"};
    }
    std::vector<Text> typed;
    for (const auto& t : delivery.typed) {
        typed.push_back(t.text);
        EXPECT_TRUE(t.enter);
    }
    EXPECT_EQ(typed, expectTyped) << c.name;
    std::vector<Text> window;
    for (const Text& text : delivery.received) {
        if (!StartsWith(text, kCardRecordPrefix)) {
            window.push_back(text);
        }
    }
    EXPECT_EQ(window, expectWindow) << c.name;
}

void LayCardReadIn(Holdable& held, std::uint32_t ms) {
    held.cardWorker.durationMs = ms;
    held.sdtapi.LayCard(u"张三");
}

INSTANTIATE_TEST_SUITE_P(
    Holds, ReadingsWhateverHoldsTheProgramTest,
    ::testing::Values(
        HoldCase{"a card read of 400 ms", "HHP", [](Holdable& held) { LayCardReadIn(held, 400); },
                 [](Holdable& held) { held.sdtapi.cardPresent = false; }},
        HoldCase{"a card read of 1500 ms", "HHP", [](Holdable& held) { LayCardReadIn(held, 1500); },
                 [](Holdable& held) { held.sdtapi.cardPresent = false; }},
        HoldCase{"a target slow by 3 s", "HHP",
                 [](Holdable& held) { held.delivery.windowTextMs = 3000; },
                 [](Holdable& held) { held.delivery.windowTextMs = 0; }},
        HoldCase{"F9 with a stalled server", "HHP",
                 [](Holdable& held) {
                     held.httpClient.stallMs = 10000;
                     held.pump.Post([&held] { held.frm.Form_KeyDown(kKeyF9, 0); }, 50);
                 },
                 [](Holdable& held) { held.httpClient.stallMs = 0; }},
        HoldCase{"the settings dialog focused", "HHP",
                 [](Holdable& held) { held.delivery.focusIsOurs = true; },
                 [](Holdable& held) { held.delivery.focusIsOurs = false; }, true},
        HoldCase{"a Symbol pair behind a slow target", "Symbol",
                 [](Holdable& held) { held.delivery.windowTextMs = 3000; },
                 [](Holdable& held) { held.delivery.windowTextMs = 0; }}),
    [](const ::testing::TestParamInfo<HoldCase>& row) {
        std::string name;
        for (const char* p = row.param.name; *p != '\0'; ++p) {
            name += std::isalnum(static_cast<unsigned char>(*p)) != 0 ? *p : '_';
        }
        return name;
    });

TEST_F(ScannerLoopTest, ReadingsWaitingForTheFocusPastTheBoundAreToldNotTyped) {
    StartScanner();
    delivery.focusIsOurs = true;
    ScanAndSettle("111");
    pump.RunFor(ReadingRouter::kHoldMs);
    delivery.focusIsOurs = false;
    ScanAndSettle("222");
    EXPECT_EQ(Typed(), std::vector<Text>{u"222"});
    EXPECT_EQ(readings.scans.front(), (FakeReadings::Scanned{u"111", ScanDelivery::Keys, false}));
    EXPECT_NE(logLines.All().find("delivery 1: keys, length 3, latency "), std::string::npos);
    EXPECT_NE(logLines.All().find("not delivered: focus stayed in Ordane"), std::string::npos);
    EXPECT_EQ(view.Label(2), Text());  // cleared by the reading typed after it
    ASSERT_EQ(view.notifications.size(), 1u);
    EXPECT_EQ(view.notifications[0].text, status::kHeldTooLong);
}

// ---- Every delivery has an outcome ----

TEST_F(ScannerLoopTest, ReadingsThatWentNowhereAreToldToTheLogThePagesAndTheClerk) {
    WriteSettings(true, true);
    AttachHhpScanner();
    AttachHsReader();
    StartAndSettle(8000);
    delivery.targetPresent = false;  // no business application open
    ScanAndSettle("DE6K8ZCCCHGZ_abc");
    sdtapi.LayCard(u"张三");
    pump.RunFor(600);
    sdtapi.cardPresent = false;
    delivery.keysRefusedAfter = 2;  // an elevated target takes two keys, then Windows refuses
    ScanAndSettle("12345");
    const std::string written = logLines.All();
    EXPECT_NE(written.find("delivery 1: window, length 16, latency "), std::string::npos)
        << written;
    EXPECT_NE(written.find("not delivered: no target window"), std::string::npos);
    EXPECT_NE(written.find(": card, length "), std::string::npos);
    EXPECT_NE(written.find("not delivered: keys refused"), std::string::npos);
    EXPECT_EQ(written.find(", delivered\r"), std::string::npos);
    EXPECT_EQ(view.Label(2), status::kKeysRefused);
    EXPECT_EQ(view.Label(13), status::kNoTargetWindow);
    EXPECT_FALSE(view.visible);  // told without taking the focus
    EXPECT_GE(view.notifications.size(), 3u);
    ASSERT_EQ(readings.scans.size(), 2u);
    EXPECT_EQ(readings.scans[0].delivered, false);
    EXPECT_EQ(readings.scans[1].delivered, false);
    ASSERT_FALSE(readings.cardsDelivered.empty());
    EXPECT_EQ(readings.cardsDelivered[0], false);
    EXPECT_GE(view.beeps, 1);  // the beep stays as it was

    delivery.targetPresent = true;
    delivery.keysRefusedAfter.reset();
    ScanAndSettle("DE6K8ZCCCHGZ_x");
    ScanAndSettle("6");
    EXPECT_EQ(view.Label(2), Text());
    EXPECT_EQ(readings.scans.back().delivered, true);
    EXPECT_NE(logLines.All().find("length 1, latency "), std::string::npos);
}

// Windows drops keys sent to an elevated application and SendInput still counts them inserted.
TEST_F(ScannerLoopTest, KeysForAnElevatedApplicationAreToldRefusedNotTyped) {
    StartScanner();
    delivery.focusRefusesKeys = true;
    ScanAndSettle("12345");
    EXPECT_TRUE(Typed().empty());
    EXPECT_EQ(view.Label(2), status::kKeysRefused);
    ASSERT_EQ(readings.scans.size(), 1u);
    EXPECT_EQ(readings.scans[0].delivered, false);
    EXPECT_NE(logLines.All().find("not delivered: keys refused"), std::string::npos);
}

// A window text that timed out may still be taken once the target's slow handler gets to it.
TEST_F(ScannerLoopTest, AWindowTextThatTimedOutIsUnknownAndLoggedWhenItArrivesLate) {
    StartScanner();
    delivery.targetTimesOut = true;
    ScanAndSettle("DE6K8ZCCCHGZ_abc");
    EXPECT_EQ(view.Label(2), status::kTargetTimedOut);
    ASSERT_EQ(readings.scans.size(), 1u);
    EXPECT_EQ(readings.scans[0].delivered, std::nullopt);
    EXPECT_NE(logLines.All().find("unknown: target did not answer in time"), std::string::npos);
    EXPECT_EQ(logLines.All().find("not delivered"), std::string::npos);
    pump.RunFor(2000);  // still hung: nothing more is said
    EXPECT_EQ(logLines.All().find("arrived late"), std::string::npos);
    delivery.targetTimesOut = false;
    delivery.childText = u"ZCCCHGZ_abc";  // its handler got to the text at last
    pump.RunFor(600);
    EXPECT_NE(logLines.All().find("arrived late"), std::string::npos) << logLines.All();
}

// A reading the port lost part of is dropped and told, never delivered cut.
TEST_F(ScannerLoopTest, PartOfAReadingIsDroppedAndToldNotDelivered) {
    struct Case {
        const char* name;
        std::function<void()> during;  // 30 ms into a reading that goes on
        const char* logged;
    };
    const std::vector<Case> cases = {
        {"adapter unplugged", [this] { commDll.unplugged = true; }, "port lost mid-reading"},
        {"settings confirmed", [this] { frm.Scanner().Rearm(); }, "port reopened mid-reading"},
        {"arrival queue full",
         [this] {
             commDll.cutNext = true;
             commDll.Queue(AsBytes("89"));
         },
         "bytes lost, arrival queue full"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StartScanner();
        logLines.lines.clear();
        delivery.typed.clear();
        Scan("1234567");
        pump.At(30, c.during);
        pump.RunFor(1000);
        EXPECT_TRUE(Typed().empty());
        ASSERT_FALSE(view.notifications.empty());
        EXPECT_EQ(view.notifications.back().text, status::kScanIncomplete);
        EXPECT_NE(logLines.All().find(c.logged), std::string::npos) << logLines.All();
        commDll.unplugged = false;
    }
}

// The Symbol scanner beeped for a reading its link then dropped: the clerk scans again.
TEST_F(ScannerLoopTest, ASymbolReadingTheLinkDroppedIsToldOnTheHintLine) {
    StartScanner("Symbol");
    symbolLink.DeliverLost(SsiReading::Loss::kAmbiguous);
    pump.RunFor(200);
    EXPECT_EQ(view.Label(2), status::kScanIncomplete);
    EXPECT_NE(logLines.All().find("Symbol reading whose first part was ambiguous"),
              std::string::npos)
        << logLines.All();
}

// ---- Exit in the middle of a reading ----

struct ExitCase {
    const char* name;
    bool focusOurs;  // Exit clicked in the window, or a close request from outside
    bool endless;    // the line does not pause within the quiet bound
    std::vector<Text> typed;
    const char* logged;
};

class ExitDuringAReadingTest : public MonitorTest,
                               public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitDuringAReadingTest, FinishesItAndDeliversItWhereItBelongsOrNotAtAll) {
    const ExitCase& c = GetParam();
    WriteSettings(true, false);
    frm.Form_Load();
    frm.Scanner().MarkIdentified();
    delivery.focusIsOurs = c.focusOurs;
    Scan("123", 0);
    Scan("456", 100);
    for (std::uint32_t at = 200; c.endless && at < 2000; at += 50) {
        Scan("7", at);
    }
    pump.RunFor(150);
    frm.OnCloseRequested();
    frm.Form_Unload();  // as the window does when it is unloaded
    EXPECT_TRUE(view.unloaded);
    pump.RunFor(3000);
    std::vector<Text> typed;
    for (const auto& t : delivery.typed) {
        typed.push_back(t.text);
    }
    EXPECT_EQ(typed, c.typed);
    EXPECT_NE(logLines.All().find(c.logged), std::string::npos) << logLines.All();
}

INSTANTIATE_TEST_SUITE_P(
    Exits, ExitDuringAReadingTest,
    ::testing::Values(
        ExitCase{"CloseRequestReadingPauses", false, false, {u"123456"}, ", delivered"},
        ExitCase{"ExitClickedReadingPauses", true, false, {}, "not delivered: program ended"},
        ExitCase{"CloseRequestLineNeverPauses", false, true, {}, "unfinished at exit"}),
    [](const ::testing::TestParamInfo<ExitCase>& row) { return std::string(row.param.name); });

}  // namespace
}  // namespace ordane::test
