#include "monitor_fixture.h"

#include "app/scan_settings.h"
#include "app/status_texts.h"

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

TEST_F(StartUpTest, ScannerPortOpensWithTheConfiguredLineAndTimer1Starts) {
    WriteSettings(true, false, "HHP", "12");
    profile.Set("BCINFO", "BaudRate", "7");
    profile.Set("BCINFO", "Parity", "2");
    profile.Set("BCINFO", "StopBits", "1");
    frm.Form_Load();
    ASSERT_EQ(commDll.opens.size(), 1u);
    const auto& open = commDll.opens[0];
    EXPECT_EQ(open.port, 12);
    EXPECT_EQ(open.baudRate, 115200);
    EXPECT_EQ(open.byteSize, 8);
    EXPECT_EQ(open.parity, 2);
    EXPECT_EQ(open.stopBits, 1);
    EXPECT_EQ(view.Label(1), status::kScannerInitialising);
    EXPECT_TRUE(frm.Scanner().ScannerOpen());
    EXPECT_TRUE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
}

TEST_F(StartUpTest, ScannerPortFailureStopsBeforeTheCardReader) {
    WriteSettings(true, true);
    commDll.openResult = 5;
    AttachHsReader();
    StartAndSettle(2000);
    EXPECT_EQ(view.Label(1), status::kScannerPortFailed);
    EXPECT_EQ(view.Label(2), status::kCheckSettingsHint);
    EXPECT_TRUE(commDll2.opens.empty());
    EXPECT_TRUE(sdtapi.calls.empty());
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
    EXPECT_FALSE(frm.Scanner().ScannerOpen());
}

TEST_F(StartUpTest, ReaderNotRecognisedLeavesBothTimersOffWithTheScannerPortOpen) {
    WriteSettings(true, true);
    StartAndSettle(3000);
    EXPECT_EQ(view.Label(12), status::kReaderNotRecognised);
    EXPECT_EQ(view.Label(13), status::kCheckSettingsHint);
    EXPECT_EQ(view.Label(1), status::kScannerInitialising);
    EXPECT_TRUE(frm.Scanner().ScannerOpen());
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_FALSE(frm.Timer2().Enabled());
    // The probe ran on its own port and closed it.
    ASSERT_EQ(commDll2.opens.size(), 1u);
    EXPECT_EQ(commDll2.opens[0].port, 2);
    EXPECT_EQ(commDll2.opens[0].baudRate, 115200);
    EXPECT_EQ(commDll2.closes, 1);
}

TEST_F(StartUpTest, MissingReaderLibraryIsReportedWithoutTouchingTheReader) {
    WriteSettings(false, true);
    sdtapi.loadable = false;
    AttachHsReader();
    StartAndSettle(2000);
    EXPECT_EQ(view.Label(12), status::kReaderLibraryMissing);
    EXPECT_EQ(view.Label(13), status::kCheckSettingsHint);
    EXPECT_FALSE(frm.Timer2().Enabled());
    EXPECT_TRUE(sdtapi.calls.empty());
}

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
