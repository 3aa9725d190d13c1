#include "monitor_fixture.h"

#include "app/scan_settings.h"
#include "app/status_texts.h"
#include "bridge/bridge_settings.h"
#include "settings/fleet_profile.h"

namespace ordane::test {
namespace {

using StartUpTest = MonitorTest;

TEST_F(StartUpTest, TrayComesFirstAndTypeCodesAreFilled) {
    frm.Form_Load();
    ASSERT_FALSE(view.trayCalls.empty());
    EXPECT_EQ(view.trayCalls[0], "add");
    EXPECT_EQ(view.trayTip, u"Ordane");
    EXPECT_EQ(frm.Router().QrCodeTypes[1], u"ZCCCHGZ");
    EXPECT_EQ(frm.Router().QrCodeTypes[3], u"HGJKZ");
    EXPECT_EQ(frm.Router().QrCodeTypes[4], u"QTZS01");
    EXPECT_EQ(frm.Router().QrCodeTypes[102], u"QTZS99");
    EXPECT_EQ(frm.Router().QrCodeTypes[103], u"QTZS00");
}

TEST_F(StartUpTest, NoSettingsFileAsksForSetUpAndStartsNothing) {
    frm.Form_Load();
    EXPECT_EQ(view.Label(1), status::kFirstUse);

    for (int label : {2, 3, 7, 10, 11, 12, 13}) {
        EXPECT_TRUE(view.Label(label).empty()) << label;
    }
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
    EXPECT_TRUE(view.visible);
    EXPECT_TRUE(commDll.opens.empty());
}

TEST_F(StartUpTest, EmptyFileLeftByTheInstallerAsksForSetUp) {
    profile.SetEmptyFile();
    frm.Form_Load();
    EXPECT_EQ(view.Label(1), status::kFirstUse);
    // A silent installation that turned the browser bridge on leaves only that section.
    profile.Set("BRIDGE", "Enabled", "1");
    profile.Set("BRIDGE", "Origins", "http://127.0.0.1:8080");
    frm.Form_Load();
    EXPECT_EQ(view.Label(1), status::kFirstUse);
}

TEST_F(StartUpTest, TheScannersOptionsAloneAreAFirstUseNotADamagedFile) {
    profile.Set("SCAN", "Terminator", "CR");
    frm.Form_Load();
    EXPECT_EQ(view.Label(1), status::kFirstUse);
}

TEST(ScanSettingsTest, TheFleetsPolicyKeyFixesWhatItHoldsSettingIniTheRest) {
    struct Row {
        const char* key;
        const char* file;    // nullptr: absent
        const char* policy;  // nullptr: absent
        ScanSettings expected;
    };
    const ScanSettings none;
    const Row rows[] = {
        {"Terminator", "CR", nullptr, {"\r", 0, ScanEncoding::CodePage, KeyMode::Unicode, ""}},
        {"Terminator", "CR", " crlf ", {"\r\n", 0, ScanEncoding::CodePage, KeyMode::Unicode, ""}},
        {"Terminator", nullptr, "LF", {"\n", 0, ScanEncoding::CodePage, KeyMode::Unicode, ""}},
        {"Terminator", "CR", "none", none},  // the policy can fix the default too
        {"KeyDelay", "30", nullptr, {"", 30, ScanEncoding::CodePage, KeyMode::Unicode, ""}},
        {"KeyDelay",
         "30",
         "500",
         {"", kMaxKeyDelayMs, ScanEncoding::CodePage, KeyMode::Unicode, ""}},
        {"Encoding", "utf8", "codepage", none},
        {"Encoding", nullptr, "Auto", {"", 0, ScanEncoding::Auto, KeyMode::Unicode, ""}},
        {"KeyMode", " Keys ", nullptr, {"", 0, ScanEncoding::CodePage, KeyMode::Keys, ""}},
        {"KeyMode", "keys", "unicode", none},
        {"KeyMode", "scancodes", nullptr, none},
        {"GS", " <GS> ", nullptr, {"", 0, ScanEncoding::CodePage, KeyMode::Unicode, "<GS>"}},
        {"GS", "<GS>", "~", {"", 0, ScanEncoding::CodePage, KeyMode::Unicode, "~"}},
        {"GS", "<GS>", "", none},
    };
    for (const Row& row : rows) {
        FakeProfile file;
        FakeProfile policy;
        if (row.file != nullptr) {
            file.Set("SCAN", row.key, row.file);
        }
        if (row.policy != nullptr) {
            policy.Set("SCAN", row.key, row.policy);
        }
        const ScanSettings got = ReadScanSettings(policy, file);
        EXPECT_EQ(got.terminator, row.expected.terminator) << row.key;
        EXPECT_EQ(got.keyDelayMs, row.expected.keyDelayMs) << row.key;
        EXPECT_EQ(got.encoding, row.expected.encoding) << row.key;
        EXPECT_EQ(got.keyMode, row.expected.keyMode) << row.key;
        EXPECT_EQ(got.groupSeparator, row.expected.groupSeparator) << row.key;
    }
}

// One rule for a value's source in the three sections the policy key may fix: a value it holds,
// an empty one too, holds; Setting.ini's only where the policy key has none.
TEST(SettingsSourceTest, APolicyValueHoldsEvenEmptyTheFileOnlyWhereThePolicyHasNone) {
    const struct {
        const char* section;
        const char* key;
        const char* file;    // nullptr: absent
        const char* policy;  // nullptr: absent
        std::string seen;
    } rows[] = {
        {"BCINFO", "Port", "3", nullptr, "3"},
        {"BCINFO", "Port", nullptr, "7", "7"},
        {"BCINFO", "Port", "3", "7", "7"},
        {"BCINFO", "Port", "3", "", ""},
        {"BCINFO", "Port", nullptr, nullptr, "-"},
        {"SCAN", "Terminator", "CR", nullptr, "\r"},
        {"SCAN", "Terminator", nullptr, "LF", "\n"},
        {"SCAN", "Terminator", "CR", "LF", "\n"},
        {"SCAN", "Terminator", "CR", "", ""},
        {"SCAN", "Terminator", nullptr, nullptr, ""},
        {"BRIDGE", "Enabled", "1", nullptr, "on"},
        {"BRIDGE", "Enabled", nullptr, "1", "on"},
        {"BRIDGE", "Enabled", "1", "0", "off"},
        {"BRIDGE", "Enabled", "1", "", "off"},
        {"BRIDGE", "Enabled", nullptr, nullptr, "off"},
    };
    for (const auto& row : rows) {
        FakeProfile file;
        FakeProfile policy;
        if (row.file != nullptr) {
            file.Set(row.section, row.key, row.file);
        }
        if (row.policy != nullptr) {
            policy.Set(row.section, row.key, row.policy);
        }
        const std::string section = row.section;
        std::string seen;
        if (section == "BCINFO") {
            seen = FleetProfile(policy, file).Read(row.section, row.key, "-");
        } else if (section == "SCAN") {
            seen = ReadScanSettings(policy, file).terminator;
        } else {
            seen = bridge::ReadBridgeSettings(policy, file, true).enabled ? "on" : "off";
        }
        EXPECT_EQ(seen, row.seen) << row.section << " file " << (row.file ? row.file : "absent")
                                  << " policy " << (row.policy ? row.policy : "absent");
    }
}

TEST_F(StartUpTest, DamagedFileIsReportedAndStartsNothing) {
    profile.SetEmptySection("BCINFO");  // no UsePort1: damaged
    frm.Form_Load();
    EXPECT_EQ(view.Label(1), status::kSettingsDamaged);
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
    EXPECT_TRUE(commDll.opens.empty());
    EXPECT_TRUE(commDll2.opens.empty());
}

TEST_F(StartUpTest, NeitherDeviceInUseLeavesEveryLineEmptyAndTheWindowVisible) {
    WriteSettings(false, false);
    StartAndSettle(2000);
    EXPECT_TRUE(AllStatusLinesEmpty());
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
    EXPECT_TRUE(view.visible);
}

// The line's codes in Setting.ini (list indexes) reach the serial layer as named values.
struct LineCodes {
    const char* parity;
    const char* stopBits;
    LineSettings line;
};

class StartUpLineTest : public StartUpTest, public ::testing::WithParamInterface<LineCodes> {};

TEST_P(StartUpLineTest, ScannerPortOpensWithTheConfiguredLineAndTimer1Starts) {
    WriteSettings(true, false, "HHP", "12");
    profile.Set("BCINFO", "BaudRate", "7");
    profile.Set("BCINFO", "Parity", GetParam().parity);
    profile.Set("BCINFO", "StopBits", GetParam().stopBits);
    frm.Form_Load();
    ASSERT_EQ(commDll.opens.size(), 1u);
    EXPECT_EQ(commDll.opens[0].port, 12);
    EXPECT_EQ(commDll.opens[0].line, GetParam().line);
    EXPECT_EQ(view.Label(1), status::kScannerInitialising);
    EXPECT_TRUE(frm.Scanner().ScannerOpen());
    EXPECT_TRUE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StartUpLineTest,
    ::testing::Values(LineCodes{"0", "0", LineSettings(115200, 8)},
                      LineCodes{"1", "1", LineSettings(115200, 8, Parity::Odd, StopBits::Two)},
                      LineCodes{"2", "0", LineSettings(115200, 8, Parity::Even)}),
    [](const auto& row) {
        return std::string("Parity") + row.param.parity + "StopBits" + row.param.stopBits;
    });

// A device's trouble at start and at a confirmed dialog: its texts stand, the other device
// works meanwhile, the failed one comes back by itself, and the card library is called on its
// worker only; a command clicked during a start's waits never runs inside them.
enum class Trouble {
    ScannerPortAbsent,  // its USB adapter enumerates after log-on
    ScannerSilent,      // its port opens, the scanner is still powering up
    ReaderSilent,
    NoLibrary,     // IT places sdtapi.dll later
    LibraryHangs,  // the library's first call does not return until released
    ScannerPortLostAtOk,
    ReaderSilentAtOk,
    OkDuringAPoll,  // a card lies on the reader: a poll is under way most of the time
};
struct TroubleRow {
    const char* what;
    Trouble trouble;
    bool atOk;
    int line;  // the failed device's status line, and what it says
    const char16_t* text;
};

class DeviceTroubleTest : public MonitorTest, public ::testing::WithParamInterface<TroubleRow> {
  protected:
    void Set(Trouble trouble, bool on) {
        switch (trouble) {
            case Trouble::ScannerPortAbsent:
            case Trouble::ScannerPortLostAtOk:
                commDll.openResult = on ? 2 : 0;
                break;
            case Trouble::ScannerSilent:
                if (on) {
                    commDll.responder = nullptr;
                } else {
                    AttachHhpScanner();
                }
                break;
            case Trouble::ReaderSilent:
            case Trouble::ReaderSilentAtOk:
                if (on) {
                    commDll2.responder = nullptr;
                } else {
                    AttachHsReader();
                }
                break;
            case Trouble::NoLibrary:
                sdtapi.loadable = !on;
                break;
            case Trouble::LibraryHangs:
                if (on) {
                    cardWorker.hang = true;
                } else {
                    cardWorker.Release();
                }
                break;
            case Trouble::OkDuringAPoll:
                break;
        }
    }
    bool ScannerTrouble() const {
        return GetParam().trouble == Trouble::ScannerPortAbsent ||
               GetParam().trouble == Trouble::ScannerSilent ||
               GetParam().trouble == Trouble::ScannerPortLostAtOk;
    }
    bool ScanTyped(const std::string& code) {
        Scan(code);
        pump.RunFor(1500);
        return !delivery.typed.empty() &&
               delivery.typed.back().text == Text(code.begin(), code.end());
    }
    bool CardDelivered() {
        delivery.received.clear();
        sdtapi.LayCard(u"张三");
        pump.RunFor(2000);
        sdtapi.cardPresent = false;
        pump.RunFor(1000);
        return !delivery.received.empty();
    }
};

TEST_P(DeviceTroubleTest, TheOtherDeviceWorksAndTheFailedOneComesBackByItself) {
    const TroubleRow& row = GetParam();
    WriteSettings(true, true);
    AttachHhpScanner();
    AttachHsReader();
    cardWorker.durationMs = 700;  // a poll takes as long as a real one
    if (!row.atOk) {
        Set(row.trouble, true);
    }
    frm.Form_Load();
    pump.RunFor(row.atOk ? 9000 : 4500);
    if (row.atOk) {
        ASSERT_TRUE(frm.Scanner().ScannerStarted());
        ASSERT_EQ(frm.CardReader().Phase(), ReaderPhase::Running);
        Set(row.trouble, true);
        sdtapi.LayCard(u"张三");
        ASSERT_TRUE(pump.RunUntil([&] { return !cardWorker.Idle(); }, 1000));
        settingsView.OnNextShowing([](FrmSet& f) {
            f.OnListSelect(SettingsList::cbBaudRate, 4);
            f.Command1_Click();
        });
        frm.OnCommandClick(5);
        sdtapi.cardPresent = false;
        // Never "waiting" for a device that is not open.
        EXPECT_TRUE(frm.CardReader().ReaderOpen || view.Label(12) != status::kReaderWaiting);
        pump.RunFor(4500);
    }
    const std::size_t probesBefore = probe.Probed().size();
    // A command clicked during the reader's identification never runs inside it.
    bool commandRanInside = false;
    const auto clickHide = [this, &commandRanInside] {
        if (view.visible) {
            frm.OnCommandClick(4);
            commandRanInside |= !view.visible;
        }
    };
    auto reader = commDll2.responder;
    commDll2.responder = [reader, clickHide](const Bytes& written) {
        clickHide();
        if (reader) {
            reader(written);
        }
    };
    const auto stateOf = [this, &row] {
        const ReadingsStatus& now = readings.statuses.back();
        return row.line == 1 ? now.scanner.state : now.reader.state;
    };
    if (row.line != 0) {
        EXPECT_EQ(view.Label(row.line), row.text) << row.what;
        // What a page gets comes from the device, not from the words on its line.
        EXPECT_EQ(stateOf(), row.text == status::kReaderNotAnswering ? DeviceState::NotAnswering
                                                                     : DeviceState::Failed)
            << row.what;
        EXPECT_TRUE(view.visible || row.atOk) << row.what;  // a dialog is used from the window
    }
    if (ScannerTrouble()) {
        EXPECT_TRUE(CardDelivered()) << row.what;
    } else {
        EXPECT_TRUE(ScanTyped("6901234567892")) << row.what;
    }
    Set(row.trouble, false);
    if (row.trouble == Trouble::ReaderSilent || row.trouble == Trouble::ReaderSilentAtOk) {
        reader = commDll2.responder;
        commDll2.responder = [reader, clickHide](const Bytes& written) {
            clickHide();
            reader(written);
        };
    }
    pump.RunFor(CardReaderSupervisor::kRetryMs + 6000);
    EXPECT_TRUE(frm.Scanner().ScannerStarted()) << row.what;
    EXPECT_EQ(frm.CardReader().Phase(), ReaderPhase::Running) << row.what;
    EXPECT_TRUE(ScanTyped("4006381333931")) << row.what;
    EXPECT_EQ(readings.statuses.back().scanner.state, DeviceState::Ready) << row.what;
    EXPECT_EQ(readings.statuses.back().reader.state, DeviceState::Ready) << row.what;
    EXPECT_TRUE(CardDelivered()) << row.what;
    EXPECT_TRUE(frm.CommandEnabled(5)) << row.what;
    EXPECT_FALSE(commandRanInside) << row.what;
    EXPECT_EQ(sdtapi.callsOffWorker, 0) << row.what;
    // The lost scanner's search never opens the card reader's port.
    for (std::size_t i = probesBefore; i < probe.Probed().size(); ++i) {
        EXPECT_NE(probe.Probed()[i], 2) << row.what;
    }
    // Exit ends at once, and the port the dialog left open is closed on the worker.
    cardWorker.durationMs = 0;
    frm.OnCommandClick(6);
    EXPECT_TRUE(view.unloaded) << row.what;
    EXPECT_EQ(sdtapi.callsOffWorker, 0) << row.what;
}

INSTANTIATE_TEST_SUITE_P(
    AtStartAndAtOk, DeviceTroubleTest,
    ::testing::Values(
        TroubleRow{"scanner port absent at start", Trouble::ScannerPortAbsent, false, 1,
                   status::kScannerPortFailed},
        TroubleRow{"scanner silent at start", Trouble::ScannerSilent, false, 1,
                   status::kScannerNotDetected},
        TroubleRow{"reader silent at start", Trouble::ReaderSilent, false, 12,
                   status::kReaderNotRecognised},
        TroubleRow{"no sdtapi.dll", Trouble::NoLibrary, false, 12, status::kReaderLibraryMissing},
        TroubleRow{"library call hangs at start", Trouble::LibraryHangs, false, 12,
                   status::kReaderNotAnswering},
        TroubleRow{"scanner port gone at OK", Trouble::ScannerPortLostAtOk, true, 1,
                   status::kScannerPortFailed},
        TroubleRow{"reader silent at OK", Trouble::ReaderSilentAtOk, true, 12,
                   status::kReaderNotRecognised},
        TroubleRow{"OK during a card poll", Trouble::OkDuringAPoll, true, 0, nullptr}));

TEST_F(StartUpTest, AStateOutsideTheThreeShowsTheWaitingText) {
    frm.CardReader().SetReaderState(2);
    frm.CardReader().SetReaderState(7);
    EXPECT_EQ(view.Label(12), status::kReaderWaiting);
    EXPECT_EQ(frm.CardReader().GetReaderState(), 7);
}

TEST_F(StartUpTest, HideAndExitCommands) {
    WriteSettings(true, false);
    frm.Form_Load();
    frm.OnCommandClick(4);
    EXPECT_FALSE(view.visible);
    frm.OnCommandClick(6);
    EXPECT_TRUE(view.unloaded);
    // No card reader port was left open by the Settings command: nothing to close.
    EXPECT_TRUE(sdtapi.calls.empty());
    frm.Form_Unload();
    EXPECT_FALSE(commDll.IsOpen());
    EXPECT_EQ(view.trayCalls.back(), "remove");
}

TEST_F(StartUpTest, ATrayClickBringsTheHiddenWindowBackOnce) {
    WriteSettings(true, false);
    frm.Form_Load();
    frm.OnCommandClick(4);
    ASSERT_FALSE(view.visible);
    view.shows.clear();
    frm.OnTrayClick();
    frm.OnTrayClick();  // shown already: not shown and activated again
    EXPECT_EQ(view.shows, std::vector<Activation>{Activation::Activate});
}

TEST_F(StartUpTest, WithoutATrayIconTheWindowIsNeverHidden) {
    // The shell was not ready at log-on: there is no icon to bring the window back.
    view.iconPresent = false;
    WriteSettings(true, false);
    AttachHhpScanner();
    frm.Form_Load();
    pump.RunFor(8000);
    EXPECT_TRUE(frm.Scanner().ScannerStarted());
    EXPECT_TRUE(view.visible);
    frm.OnCommandClick(4);
    EXPECT_TRUE(view.visible);
    // Once the icon is there, hiding works again.
    view.iconPresent = true;
    frm.OnCommandClick(4);
    EXPECT_FALSE(view.visible);
}

}  // namespace
}  // namespace ordane::test
