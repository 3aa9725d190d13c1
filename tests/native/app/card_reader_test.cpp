#include "monitor_fixture.h"

#include "app/status_texts.h"

namespace ordane::test {
namespace {

class CardReaderTest : public MonitorTest {
  protected:
    void StartReader(const std::string& port2 = "2") {
        WriteSettings(false, true, "HHP", "3", port2);
        AttachHsReader();
        StartAndSettle(3000);
    }
    int CallsOf(const std::string& function) const {
        int n = 0;
        for (const auto& c : sdtapi.calls) {
            n += c.function == function ? 1 : 0;
        }
        return n;
    }
};

TEST_F(CardReaderTest, ReaderIsIdentifiedStartedAndTheWindowHides) {
    StartReader();
    EXPECT_EQ(view.Label(10), u"设备:华视");
    EXPECT_EQ(view.Label(11), u"型号:CVR-100U");
    EXPECT_TRUE(view.Showed(12, status::kReaderConnecting));
    EXPECT_TRUE(view.Showed(12, status::kReaderReady));
    EXPECT_EQ(view.Label(12), status::kReaderWaiting);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(frm.CardReader().ReaderOpen);
    EXPECT_TRUE(frm.CardReader().ReaderStarted);
    EXPECT_TRUE(frm.Timer2().Enabled());
    EXPECT_EQ(frm.CardReader().SamId, u"05.01-20101123-0000021563-2010030040");
}

TEST_F(CardReaderTest, CardIsDeliveredAsOneRecordWithABeepEveryTimeItIsFound) {
    StartReader();
    sdtapi.LayCard(Text(u"张三") + Text(13, u' ') + u"102" + u"19800101");
    pump.RunFor(1100);
    ASSERT_GE(delivery.received.size(), 2u);
    EXPECT_EQ(delivery.received[0], u"SFZXX_2.0|张三|1|02|19800101||||||");
    EXPECT_EQ(delivery.received[1], delivery.received[0]);
    EXPECT_EQ(view.beeps, static_cast<int>(delivery.received.size()));
    // Each attempt opens and closes the port once.
    EXPECT_EQ(CallsOf("OpenPort"), CallsOf("ClosePort"));
    // The browser bridge gets the same record once, with its fields cut from the card's text,
    // so a "|" inside a field does not shift the others.
    EXPECT_EQ(readings.cards, std::vector<Text>{delivery.received[0]});
    sdtapi.LayCard(Text(u"A|B") + Text(12, u' ') + u"102");
    pump.RunFor(600);
    ASSERT_FALSE(readings.cardFields.empty());
    EXPECT_EQ(readings.cardFields.back(),
              (CardFields{u"A|B", u"1", u"02", u"", u"", u"", u"", u"", u"", u""}));
    EXPECT_EQ(readings.statuses.back().reader,
              (DeviceStatus{status::kReaderWaiting, u"CVR-100U", DeviceState::Ready}));
}

TEST_F(CardReaderTest, OnlyAResidentCardOrAPermitIsWrittenAndTheClerkIsToldOfAnyOther) {
    StartReader();
    const Text resident = Text(u"张三") + Text(59, u' ') + u"11010119800101001X";
    const struct {
        const char* what;
        Text text;
        CardKind kind;
    } cases[] = {
        {"resident", resident, CardKind::Resident},
        {"2017 foreign card", Text(u"SMITH") + Text(119, u' ') + u"I", CardKind::ForeignPermanent},
        {"residence permit", resident + Text(45, u' ') + u"J", CardKind::HmtResidencePermit},
    };
    for (const auto& c : cases) {
        const bool written = c.kind != CardKind::ForeignPermanent;
        delivery.received.clear();
        readings.cardKinds.clear();
        view.notifications.clear();
        const int beeps = view.beeps;
        sdtapi.LayCard(c.text);
        pump.RunFor(1100);
        EXPECT_EQ(!delivery.received.empty(), written) << c.what;
        EXPECT_EQ(readings.cardKinds, std::vector<CardKind>{c.kind}) << c.what;
        EXPECT_GE(view.beeps - beeps, 2) << c.what;
        EXPECT_EQ(view.Label(13), written ? u"" : status::kNotResidentCard) << c.what;
        // Told once per placement, not every poll; the log names no field.
        EXPECT_EQ(view.notifications.size(), written ? 0u : 1u) << c.what;
        EXPECT_EQ(logLines.All().find("SMITH"), std::string::npos) << c.what;
    }
}

TEST_F(CardReaderTest, PagesGetACardOncePerPlacementAndHearWhenItIsTakenAway) {
    StartReader();
    const Text zhang = u"SFZXX_2.0|张三|1|02|19800101||||||";
    const Text li = u"SFZXX_2.0|李四|1|02|19800101||||||";
    const Text removed = u"(removed)";
    const struct {
        const char* what;
        const char16_t* card;  // on the reader for the next second; nullptr: none
        bool readFails;
        std::vector<Text> pages;  // what the pages were sent meanwhile
    } cases[] = {
        {"laid down", u"张三", false, {zhang}},
        {"still there", u"张三", false, {}},
        {"read fails while it lies there", u"张三", true, {}},
        {"read again", u"张三", false, {}},
        {"taken away", nullptr, false, {removed}},
        {"nothing", nullptr, false, {}},
        {"the same card again", u"张三", false, {zhang}},
        {"swapped for another", u"李四", false, {li}},
        {"taken away again", nullptr, false, {removed}},
    };
    for (const auto& c : cases) {
        readings.cards.clear();
        delivery.received.clear();
        sdtapi.cardPresent = c.card != nullptr;
        if (c.card != nullptr) {
            sdtapi.LayCard(Text(c.card) + Text(15 - Text(c.card).size(), u' ') + u"102" +
                           u"19800101");
        }
        sdtapi.readStatus = c.readFails ? 41 : kSdtOk;
        pump.RunFor(1000);  // two polls, none at its end
        EXPECT_EQ(readings.cards, c.pages) << c.what;
        // The window keeps its repetition: every poll that reads the card.
        EXPECT_GE(delivery.received.size(), c.card != nullptr && !c.readFails ? 2u : 0u) << c.what;
        EXPECT_EQ(delivery.received.empty(), c.card == nullptr || c.readFails) << c.what;
    }
}

TEST_F(CardReaderTest, EmptyTextIsStillARecordAndBeepsEvenWithoutTheTarget) {
    StartReader();
    sdtapi.cardPresent = true;
    sdtapi.cardTextLength = 0;
    delivery.targetPresent = false;
    pump.RunFor(600);
    ASSERT_FALSE(delivery.titles.empty());
    EXPECT_GE(view.beeps, 1);
    sdtapi.cardPresent = true;
    delivery.targetPresent = true;
    pump.RunFor(600);
    ASSERT_FALSE(delivery.received.empty());
    EXPECT_EQ(delivery.received.back(), u"SFZXX_2.0||||||||||");
}

TEST_F(CardReaderTest, NoCardOrAFailedStepDeliversNothingAndClosesThePort) {
    StartReader();
    sdtapi.calls.clear();
    pump.RunFor(500);  // no card
    sdtapi.LayCard(u"张三");
    sdtapi.selectStatus = 129;
    pump.RunFor(500);  // found, not selected
    sdtapi.selectStatus = kSdtOk;
    sdtapi.readStatus = 65;
    pump.RunFor(500);  // selected, not read
    sdtapi.openStatus = 1;
    pump.RunFor(500);  // the port cannot be opened
    EXPECT_TRUE(delivery.received.empty());
    EXPECT_EQ(view.beeps, 0);
    EXPECT_EQ(sdtapi.Functions(),
              (std::vector<std::string>{
                  "OpenPort", "StartFindIDCard", "ClosePort",                                 //
                  "OpenPort", "StartFindIDCard", "SelectIDCard", "ClosePort",                 //
                  "OpenPort", "StartFindIDCard", "SelectIDCard", "ReadBaseMsg", "ClosePort",  //
                  "OpenPort", "ClosePort"}));
}

TEST_F(CardReaderTest, ALibraryCallThatNeverReturnsHoldsNeitherWindowNorScanner) {
    WriteSettings(true, true);
    AttachHhpScanner();
    AttachHsReader();
    StartAndSettle(8000);
    cardWorker.hang = true;  // a reader firmware fault: the next call never returns
    sdtapi.LayCard(u"张三");
    pump.RunFor(CardReaderSupervisor::kCallBoundMs + 1000);
    EXPECT_EQ(view.Label(12), status::kReaderNotAnswering);
    EXPECT_EQ(view.Label(13), status::kCheckSettingsHint);
    EXPECT_TRUE(view.visible);  // shown, without the focus
    EXPECT_EQ(view.shows, std::vector<Activation>{Activation::Keep});
    Scan("123");
    pump.RunFor(1000);
    EXPECT_EQ(delivery.typed, (std::vector<FakeDelivery::Typed>{{u"123", true}}));
    const int started = cardWorker.started;
    pump.RunFor(2000);
    EXPECT_EQ(cardWorker.started, started);  // nothing piles up behind the stuck call
    // The call comes back: the card it read so late is not delivered (it may belong to a
    // customer gone long ago), the clerk is told, and the next poll reads the card again.
    const std::size_t deliveredBefore = delivery.received.size();
    cardWorker.Release();
    pump.RunFor(100);
    EXPECT_EQ(delivery.received.size(), deliveredBefore);
    EXPECT_EQ(view.Label(13), status::kCardReadTooLate);
    pump.RunFor(1000);
    EXPECT_EQ(view.Label(12), status::kReaderWaiting);
    EXPECT_TRUE(view.Label(13).empty());
    ASSERT_FALSE(delivery.received.empty());
    EXPECT_GT(cardWorker.started, started);
    // Exit while a call hangs does not touch the library.
    cardWorker.hang = true;
    pump.RunFor(600);
    sdtapi.calls.clear();
    frm.OnCommandClick(6);
    EXPECT_TRUE(view.unloaded);
    EXPECT_TRUE(sdtapi.calls.empty());
}

TEST_F(CardReaderTest, AReaderUnpluggedWhileRunningIsShownAndComesBackByItself) {
    StartReader();
    sdtapi.openStatus = 1;  // its port no longer opens
    pump.RunFor(1000);
    EXPECT_EQ(view.Label(12), status::kReaderPortFailed);
    EXPECT_EQ(view.Label(13), status::kCheckSettingsHint);
    EXPECT_TRUE(view.visible);
    sdtapi.openStatus = kSdtOk;
    pump.RunFor(1000);
    EXPECT_EQ(view.Label(12), status::kReaderWaiting);
    EXPECT_TRUE(view.Label(13).empty());
    sdtapi.LayCard(u"张三");
    pump.RunFor(600);
    EXPECT_FALSE(delivery.received.empty());
}

TEST_F(CardReaderTest, UsbPortsAboveSixAreTheLibrarysThousandsOnlyInACardRead) {
    EXPECT_FALSE(GetCardStr(sdtapi, 7).card.has_value());
    EXPECT_EQ(sdtapi.calls[0].port, 1002);
    EXPECT_EQ(sdtapi.calls.back().port, 1002);
    sdtapi.calls.clear();
    GetCardStr(sdtapi, 6);
    EXPECT_EQ(sdtapi.calls[0].port, 6);
    sdtapi.calls.clear();
    EXPECT_EQ(frm.CardReader().OpenCardReaderPort(7), ReaderPortOpen::Opened);
    EXPECT_EQ(sdtapi.calls[0].port, 7);
    EXPECT_EQ(frm.CardReader().CardReaderPort, 7);
}

TEST_F(CardReaderTest, CloseCardReaderPortOnlyAfterAnOpen) {
    frm.CardReader().CloseCardReaderPort();
    EXPECT_TRUE(sdtapi.calls.empty());
    sdtapi.openStatus = 1;
    EXPECT_EQ(frm.CardReader().OpenCardReaderPort(3), ReaderPortOpen::Refused);
    frm.CardReader().CloseCardReaderPort();
    EXPECT_EQ(sdtapi.Functions(), (std::vector<std::string>{"OpenPort", "ClosePort"}));
    EXPECT_EQ(sdtapi.calls.back().port, 3);
}

TEST_F(CardReaderTest, EmptySamIdIsNeitherKeptNorReported) {
    sdtapi.samId = "";
    StartReader();
    EXPECT_EQ(frm.CardReader().SamId, Text());
    EXPECT_TRUE(httpClient.urls.empty());
    frm.Form_KeyDown(kKeyF9, 0);
    EXPECT_TRUE(httpClient.urls.empty());
}

TEST_F(CardReaderTest, SamIdIsTrimmedAndLosesItsLastCharacterWhateverItIs) {
    // A library that leaves out the terminating character it promises costs the id its
    // last character: the rule drops the last character, not a NUL.
    sdtapi.samId = "  ABC";
    sdtapi.samIdTerminated = false;
    StartReader();
    EXPECT_EQ(frm.CardReader().SamId, u"AB");
}

TEST_F(CardReaderTest, NoIdWrittenLeavesSamIdEmpty) {
    sdtapi.samIdWritten = false;
    StartReader();
    EXPECT_EQ(frm.CardReader().SamId, Text());  // the buffer stayed spaces
    EXPECT_TRUE(httpClient.urls.empty());
}

// ---- Registration report ----

TEST_F(CardReaderTest, SuccessfulReportSetsTheFlagAndIsNotRepeated) {
    StartReader();
    ASSERT_EQ(httpClient.urls.size(), 1u);
    EXPECT_EQ(httpClient.urls[0],
              "http://127.0.0.1:18471/monitor/uploadinfo?id=05.01-20101123-0000021563-2010030040");
    EXPECT_EQ(registry.Value("Software\\CardReader", "upload"), std::optional<std::string>("1"));
    frm.Registration().Uploaded(frm.CardReader().SamId);
    EXPECT_EQ(httpClient.urls.size(), 1u);
    // F9 sends it again whatever the flag says, off the window's thread: a server that does
    // not answer holds neither the window nor the scanner.
    registrationWorker.durationMs = 10000;
    frm.Form_KeyDown(kKeyF9, 1);
    frm.Form_KeyDown(121, 0);
    EXPECT_EQ(httpClient.urls.size(), 2u);
    EXPECT_EQ(httpClient.callsOffWorker, 0);
    frm.Form_KeyDown(kKeyF9, 1);  // one at a time, and never lost: sent once that one returned
    EXPECT_EQ(httpClient.urls.size(), 2u);
    pump.RunFor(10500);
    EXPECT_EQ(httpClient.urls.size(), 3u);
}

TEST_F(CardReaderTest, RefusedFlagWriteLeavesTheReportToBeSentAgainAndTheReaderRunning) {
    registry.SetWritesRefused(true);  // a standard user without the installer's grant
    StartReader();
    EXPECT_EQ(httpClient.urls.size(), 1u);
    EXPECT_EQ(registry.Value("Software\\CardReader", "upload"), std::nullopt);
    EXPECT_TRUE(frm.Timer2().Enabled());
    frm.Registration().Uploaded(frm.CardReader().SamId);  // the next start reports again
    EXPECT_EQ(httpClient.urls.size(), 2u);
    EXPECT_NE(logLines.All().find("write refused: HKLM Software\\CardReader upload"),
              std::string::npos);
}

// ---- Diagnostic log ----

TEST_F(CardReaderTest, LogRecordsDevicesAndDeliveriesButNoReadingOrCardContent) {
    WriteSettings(true, true);
    AttachHhpScanner();
    AttachHsReader();
    StartAndSettle();
    Scan("6901234567892");
    pump.RunFor(1000);
    sdtapi.LayCard(Text(u"张三") + Text(13, u' ') + u"102" + u"19800101" + Text(35, u' ') +
                   u"110101198001010012");
    pump.RunFor(600);
    ASSERT_EQ(delivery.typed.size(), 1u);
    ASSERT_FALSE(delivery.received.empty());
    ASSERT_NE(delivery.received[0].find(u"110101198001010012"), Text::npos);

    const std::string all = logLines.All();
    for (const char* expected :
         {"settings: UsePort1=1 Scanner=HHP Port=3 BaudRate=", "AddEnter=1 UsePort2=1 Port2=2",
          "scanner open port 3: ok", "scanner identification port 3: sent 16 4D 0D 50 5F",
          "scanner HHP: identified, model IT4600Q", "card reader open port 2: ok",
          "card reader identification port 2: sent 02 00 07 03 01 00 03",
          "card reader \xE5\x8D\x8E\xE8\xA7\x86: identified, model CVR-100U",
          "registration: at start-up, id length 36", "registration: accepted",
          "delivery 1: keys, length 13", "delivery 2: card, length"}) {
        EXPECT_NE(all.find(expected), std::string::npos) << expected << "\n" << all;
    }
    // The reading is timed from its last byte: the pause that ends it is part of the wait.
    const std::size_t at = all.find("delivery 1: keys, length 13, latency ");
    ASSERT_NE(at, std::string::npos);
    const int latency = std::stoi(all.substr(at + 37));
    EXPECT_GE(latency, 200);
    EXPECT_LE(latency, 400);
}

// No path that writes a log line lets a reading into it, in any form: every row sends the
// same reading, "8472915" and "旭", through one path and checks that the path wrote its line.
constexpr char kReading[] = "8472915 \xD0\xF1";  // 旭 in GBK

class LogPrivacyTest;
struct PrivacyRow {
    const char* path;
    void (LogPrivacyTest::*act)();
    const char* line;  // what the path writes
};
void PrintTo(const PrivacyRow& row, std::ostream* out) {
    *out << row.path;
}

class LogPrivacyTest : public MonitorTest, public ::testing::WithParamInterface<PrivacyRow> {
  public:
    void Keys() { ScanAfterStart(kReading); }
    void Page() {
        readings.takesScans = true;
        ScanAfterStart(kReading);
    }
    void Window() { ScanAfterStart(std::string("DE6K8ZCCCHGZ_") + kReading); }
    void Card() {
        StartAndSettle();
        sdtapi.LayCard(Text(u"旭8472915") + Text(7, u' ') + u"102");
        pump.RunFor(600);
    }
    void TooLong() { ScanAfterStart(kReading + std::string(std::size_t{1} << 20, '0')); }
    void Symbol() {
        WriteSettings(true, false, "Symbol");
        symbolLink.versionReply = AsBytes("NBRPYAAC 10 DS6607 ab");
        StartAndSettle();
        symbolLink.DeliverData(AsBytes(kReading));
        pump.RunFor(1000);
    }
    void ScannerIdentification() {
        AttachHhpScanner(std::string("IT4600-050 ") + kReading);  // scanned meanwhile
        StartAndSettle();
    }
    void ReaderIdentification() {  // adapters moved: the scanner is on the reader's port
        commDll2.responder = [this](const Bytes& written) {
            if (written == kHsRequest) {
                commDll2.Arrive(pump, 50, AsBytes(kReading));
            }
        };
        StartAndSettle();
    }

  private:
    void ScanAfterStart(const std::string& bytes) {
        StartAndSettle();
        Scan(bytes);
        pump.RunFor(1000);
    }
};

TEST_P(LogPrivacyTest, NoReadingReachesTheLogAsTextHexGbkUtf8OrUtf16) {
    WriteSettings(true, true);
    AttachHhpScanner();
    AttachHsReader();
    (this->*GetParam().act)();
    std::string all = logLines.All();
    EXPECT_NE(all.find(GetParam().line), std::string::npos) << all;
    for (const FakeEventSink::Event& event : events.events) {  // the same words, or fewer
        EXPECT_NE(all.find(event.line), std::string::npos) << event.line;
        all += event.line + "\n";
    }
    for (const std::string& form :
         {std::string("8472915"), std::string("38 34 37 32"), std::string("38343732"),
          std::string("\xD0\xF1"), std::string("D0 F1"), std::string("D0F1"),
          std::string("\xE6\x97\xAD"), std::string("\xED\x65"), std::string("65ED"),
          std::string("8\0"
                      "4\0"
                      "7\0"
                      "2\0",
                      8)}) {
        EXPECT_EQ(all.find(form), std::string::npos) << all;
    }
}

INSTANTIATE_TEST_SUITE_P(
    EveryPath, LogPrivacyTest,
    ::testing::Values(
        PrivacyRow{"Keys", &LogPrivacyTest::Keys, "delivery 1: keys, length 9"},
        PrivacyRow{"Page", &LogPrivacyTest::Page, "delivery 1: page, length 9"},
        PrivacyRow{"Window", &LogPrivacyTest::Window, "delivery 1: window"},
        PrivacyRow{"Card", &LogPrivacyTest::Card, "delivery 1: card"},
        PrivacyRow{"TooLong", &LogPrivacyTest::TooLong, "reading dropped: too long"},
        PrivacyRow{"Symbol", &LogPrivacyTest::Symbol, "delivery 1: keys, length 9"},
        PrivacyRow{"ScannerIdentification", &LogPrivacyTest::ScannerIdentification,
                   "scanner identification port 3: sent 16 4D 0D 50 5F 4E 41 4D 45 3F 2E; "
                   "received 21 bytes, matched"},
        PrivacyRow{"ReaderIdentification", &LogPrivacyTest::ReaderIdentification,
                   "card reader identification port 2: sent 02 00 07 03 01 00 03; received 10 "
                   "bytes, not matched"}),
    [](const ::testing::TestParamInfo<PrivacyRow>& row) { return std::string(row.param.path); });
}  // namespace
}  // namespace ordane::test
