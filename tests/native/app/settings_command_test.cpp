#include "monitor_fixture.h"

#include "app/status_texts.h"

namespace ordane::test {
namespace {

// Both devices running, then the Settings command.
class SettingsCommandTest : public MonitorTest {
  protected:
    void StartBoth() {
        WriteSettings(true, true, "HHP");
        AttachHhpScanner();
        AttachHsReader();
        StartAndSettle(8000);
        ASSERT_TRUE(frm.Scanner().ScannerStarted());
        ASSERT_TRUE(frm.CardReader().ReaderStarted);
        ASSERT_TRUE(frm.Timer1().Enabled());
        ASSERT_TRUE(frm.Timer2().Enabled());
        commDll.opens.clear();
        commDll2.opens.clear();
        sdtapi.calls.clear();
        profile.ClearWrites();
    }
    void Settings(FakeSettingsView::Script script) {
        settingsView.OnNextShowing(std::move(script));
        frm.OnCommandClick(5);
    }
    // A baud rate change makes OK close and reopen both ports.
    void ConfirmANewBaudRate() {
        Settings([](FrmSet& f) {
            f.OnListSelect(SettingsList::cbBaudRate, 4);
            f.Command1_Click();
        });
    }
};

TEST_F(SettingsCommandTest, CancelChangesNothing) {
    StartBoth();
    Settings([](FrmSet& f) {
        EXPECT_FALSE(f.Command1Enabled());  // both devices run: OK waits for a change
        f.OnListSelect(SettingsList::cbBaudRate, 4);
        f.Command2_Click();
    });
    EXPECT_EQ(settingsView.Showings(), 1);
    EXPECT_EQ(settingsView.LastOwner(), &view);
    EXPECT_TRUE(frm.Scanner().ScannerStarted());
    EXPECT_TRUE(frm.CardReader().ReaderStarted);
    EXPECT_TRUE(profile.Writes().empty());
    EXPECT_TRUE(commDll.opens.empty());
}

TEST_F(SettingsCommandTest, ConfirmWithoutReopenRedoesTheStartUpStepsOnTheOpenPorts) {
    StartBoth();
    Settings([this](FrmSet& f) {
        f.OnCheckClick(1);                        // add Enter only
        EXPECT_TRUE(monitor.InForce().AddEnter);  // the dialog edits its own copy
        f.Command1_Click();
    });
    EXPECT_FALSE(monitor.InForce().AddEnter);
    EXPECT_FALSE(frm.Scanner().ScannerStarted());
    EXPECT_FALSE(frm.CardReader().ReaderStarted);
    view.visible = true;
    pump.RunFor(8000);
    EXPECT_TRUE(frm.Scanner().ScannerStarted());
    EXPECT_TRUE(frm.CardReader().ReaderStarted);
    EXPECT_FALSE(view.visible);
    EXPECT_TRUE(commDll.opens.empty());  // no port was closed and reopened
    EXPECT_EQ(commDll.closes, 0);
}

TEST_F(SettingsCommandTest, ConfirmedBaudChangeReopensTheScannerAndIdentifiesItAgain) {
    StartBoth();
    ConfirmANewBaudRate();
    ASSERT_EQ(commDll.opens.size(), 1u);
    EXPECT_EQ(commDll.opens[0].line.baudRate, 19200);
    EXPECT_EQ(commDll.closes, 1);
    EXPECT_EQ(view.Label(3), Text());  // brand and model lines cleared
    EXPECT_EQ(view.Label(11), u"型号:CVR-100U");
    EXPECT_EQ(view.Label(12), status::kReaderWaiting);
    EXPECT_TRUE(frm.CardReader().ReaderOpen);
    EXPECT_EQ(frm.CardReader().CardReaderPort, 2);  // left open for Exit to close
    EXPECT_TRUE(frm.Timer1().Enabled());
    EXPECT_TRUE(frm.Timer2().Enabled());
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(3), u"设备:HHP");
    // Exit closes the port the reopen left open.
    sdtapi.calls.clear();
    frm.OnCommandClick(6);
    ASSERT_FALSE(sdtapi.calls.empty());
    EXPECT_EQ(sdtapi.calls[0].function, "ClosePort");
    EXPECT_EQ(sdtapi.calls[0].port, 2);
}

// A group policy refresh writes its values again and again: only a changed device value
// reopens the devices, as OK does; an unchanged one is only logged; the open dialog is left
// to its own OK.
TEST_F(SettingsCommandTest, APolicyChangeWhileRunningIsAppliedAsOkAppliesIt) {
    StartBoth();
    frm.OnPolicyChanged();  // rewritten, nothing changed
    EXPECT_TRUE(commDll.opens.empty());
    EXPECT_TRUE(frm.Scanner().ScannerStarted());
    profile.Set("BCINFO", "BaudRate", "4");  // as the policy key now fixes it
    settingsView.OnNextShowing([this](FrmSet& f) {
        frm.OnPolicyChanged();
        f.Command2_Click();
    });
    frm.OnCommandClick(5);
    EXPECT_TRUE(commDll.opens.empty());
    frm.OnPolicyChanged();
    ASSERT_EQ(commDll.opens.size(), 1u);
    EXPECT_EQ(commDll.opens[0].line.baudRate, 19200);
    EXPECT_EQ(monitor.InForce().BaudRate, 19200);
    EXPECT_TRUE(profile.Writes().empty());
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(3), u"设备:HHP");
    const std::string all = logLines.All();
    for (const char* line :
         {"settings: policy read again, no device setting changed",
          "settings: policy changed, dialog open", "settings: policy changed, devices reopened"}) {
        EXPECT_NE(all.find(line), std::string::npos) << line;
    }
}

// A device switched off in the dialog is neither closed nor stopped by the reopen.
TEST_F(SettingsCommandTest, ScannerSwitchedOffStaysOpenButUnread) {
    StartBoth();
    Settings([](FrmSet& f) {
        f.OnCheckClick(4);
        f.Command1_Click();
    });
    ASSERT_TRUE(frmSet.MustReopen);
    EXPECT_TRUE(commDll.IsOpen());
    EXPECT_FALSE(frm.Timer1().Enabled());
    EXPECT_TRUE(frm.Timer2().Enabled());
    Scan("6901234567892");
    sdtapi.LayCard(u"张三");
    pump.RunFor(1500);
    EXPECT_TRUE(delivery.typed.empty());
    EXPECT_FALSE(delivery.received.empty());
}

TEST_F(SettingsCommandTest, ReaderSwitchedOffKeepsBeingRead) {
    StartBoth();
    Settings([](FrmSet& f) {
        f.OnCheckClick(3);
        f.Command1_Click();
    });
    ASSERT_TRUE(frmSet.MustReopen);
    EXPECT_TRUE(frm.Timer2().Enabled());
    sdtapi.LayCard(u"张三");
    pump.RunFor(8000);  // after the scanner's identification
    EXPECT_FALSE(delivery.received.empty());
}

TEST_F(SettingsCommandTest, FirstSetUpFromAMissingFileStartsTheDevices) {
    frm.Form_Load();
    ASSERT_EQ(view.Label(1), status::kFirstUse);
    AttachHhpScanner();
    Settings([](FrmSet& f) {
        f.OnCheckClick(4);                         // use the scanner; the reader stays unchecked
        f.OnListSelect(SettingsList::cbModel, 1);  // HHP
        f.Command1_Click();
    });
    EXPECT_TRUE(frm.Scanner().ScannerOpen());
    EXPECT_TRUE(frm.Timer1().Enabled());
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(7), u"型号:IT4600Q");
    EXPECT_EQ(profile.Value("BCINFO", "Scanner"), std::optional<std::string>("HHP"));
}

TEST_F(SettingsCommandTest, ConfirmingReopensAFailedScannerEvenWithoutAChange) {
    WriteSettings(true, false, "HHP");
    AttachHhpScanner();
    commDll.openResult = 2;  // the adapter was not plugged in at start-up
    StartAndSettle(1000);
    ASSERT_EQ(view.Label(1), status::kScannerPortFailed);
    commDll.openResult = 0;
    Settings([](FrmSet& f) {
        EXPECT_TRUE(f.Command1Enabled());  // OK alone, nothing changed
        f.Command1_Click();
    });
    ASSERT_FALSE(frmSet.MustReopen);
    pump.RunFor(6000);
    EXPECT_EQ(view.Label(7), u"型号:IT4600Q");
    EXPECT_TRUE(frm.Timer1().Enabled());
}

TEST_F(SettingsCommandTest, OkWhileTheAdapterIsOutLeavesItsReplugFound) {
    StartBoth();
    commDll.unplugged = true;
    pump.RunFor(1000);
    Settings([](FrmSet& f) { f.Command1_Click(); });
    EXPECT_EQ(view.Label(1), status::kScannerPortFailed);
    pump.RunFor(5000);
    commDll.unplugged = false;
    pump.RunFor(8000);
    EXPECT_EQ(view.Label(1), status::kScannerWaiting);
    EXPECT_EQ(view.Label(7), u"型号:IT4600Q");
}

}  // namespace
}  // namespace ordane::test
