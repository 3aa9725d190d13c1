#include <gtest/gtest.h>

#include <set>

#include <optional>

#include "doubles/fake_codec.h"
#include "doubles/fake_port_probe.h"
#include "doubles/fake_profile.h"
#include "doubles/fake_registry.h"
#include "doubles/fake_settings_view.h"
#include "settings/fleet_profile.h"
#include "settings/frm_set.h"

namespace ordane {
namespace {

using test::FakeCodec;
using test::FakePortProbe;
using test::FakeProfile;
using test::FakeRegistry;
using test::FakeSettingsView;
using L = SettingsList;

const std::string kHuaXu = "\xBB\xAA\xD0\xF1";
const std::string kHuaShi = "\xBB\xAA\xCA\xD3";
const std::string kRun = FrmSet::kRunKey;

class FrmSetTest : public ::testing::Test {
  protected:
    void Store(const std::string& key, const std::string& value) {
        profile.Set("BCINFO", key, value);
    }
    // HHP on COM1 at 9600 8N1 with Enter, the card reader 华旭 on USB6.
    void StoreExample() {
        for (const auto& [key, value] : ExampleFile()) {
            Store(key, value);
        }
    }
    static std::vector<std::pair<std::string, std::string>> ExampleFile() {
        return {{"Scanner", "HHP"}, {"Port", "1"},     {"BaudRate", "3"},     {"Bits", "3"},
                {"Parity", "0"},    {"StopBits", "0"}, {"AddEnter", "1"},     {"UsePort2", "1"},
                {"UsePort1", "1"},  {"Port2", "6"},    {"CardReader", kHuaXu}};
    }
    std::vector<Text> Entries(L list) const { return form.List(list).entries; }
    int Index(L list) const { return form.List(list).ListIndex; }
    // One showing as the Settings command runs it.
    bool Show(FakeSettingsView::Script script) {
        form.Initialze();
        view.OnNextShowing(std::move(script));
        return form.ShowDialog(nullptr);
    }

    FakeProfile profile;
    FakePortProbe probe{{1, 6}};
    FakeRegistry registry;
    FakeCodec codec;
    FakeSettingsView view;
    FrmSet form{profile, probe, registry, codec, view, u"D:\\Tools", u"app"};
};

TEST_F(FrmSetTest, LoadListsFreePortsOnceAndSelectsDefaults) {
    probe.SetPresent({1, 3, 7, 16});
    form.EnsureLoaded();
    form.EnsureLoaded();
    EXPECT_EQ(probe.Probed().size(), 16u);
    EXPECT_EQ(Entries(L::cbPort), (std::vector<Text>{u"COM1", u"COM3", u"COM7", u"COM16"}));
    EXPECT_EQ(Entries(L::cbPort2),
              (std::vector<Text>{u"COM1", u"COM3", u"USB6", u"USB7", u"USB8", u"USB9"}));
    EXPECT_EQ(Entries(L::cbModel), (std::vector<Text>{u"DataLogic", u"HHP", u"Denso", u"NewLand",
                                                      u"Symbol", u"Metrologic"}));
    EXPECT_EQ(form.List(L::cbModel).SelectedText(), u"DataLogic");
    EXPECT_EQ(form.List(L::cbPort).SelectedText(), u"COM1");
    EXPECT_EQ(form.List(L::cbBaudRate).SelectedText(), u"9600");
    EXPECT_EQ(form.List(L::cbByteSize).SelectedText(), u"8");
    EXPECT_EQ(Index(L::cbStopBits), 0);
    EXPECT_EQ(form.List(L::cbParity).SelectedText(), u"无校验");
    EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"COM1");
    EXPECT_EQ(form.List(L::cmCardModel).SelectedText(), u"华旭");
}

TEST_F(FrmSetTest, PortsAboveSixteenThatTheMachineNamesAreListedToo) {
    probe.SetPresent({2, 20, 257});
    form.EnsureLoaded();
    EXPECT_EQ(Entries(L::cbPort), (std::vector<Text>{u"COM2", u"COM20", u"COM257"}));
    EXPECT_EQ(Entries(L::cbPort2),
              (std::vector<Text>{u"COM2", u"USB6", u"USB7", u"USB8", u"USB9"}));
}

TEST_F(FrmSetTest, WithoutSerialPortsOnlyTheUsbEntriesAreOffered) {
    probe.SetPresent({});
    form.EnsureLoaded();
    EXPECT_TRUE(Entries(L::cbPort).empty());
    EXPECT_EQ(Index(L::cbPort), -1);
    EXPECT_EQ(Entries(L::cbPort2), (std::vector<Text>{u"USB6", u"USB7", u"USB8", u"USB9"}));
    EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"USB6");
}

TEST_F(FrmSetTest, ReadsTheExampleFileIntoModelAndControls) {
    StoreExample();
    registry.SetValue(kRun, "Velmar", "D:\\Tools\\app.exe");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_EQ(form.Values().ScannerModel, u"HHP");
    EXPECT_EQ(form.Values().CardReaderModel, u"华旭");
    EXPECT_EQ(form.Values().Port, 1);
    EXPECT_EQ(form.Values().Port2, 6);
    EXPECT_EQ(form.Values().BaudRate, 9600);
    EXPECT_EQ(form.Values().ByteSize, 8);
    EXPECT_EQ(form.Values().usePort1, u"1");
    EXPECT_EQ(form.Values().usePort2, u"1");
    EXPECT_TRUE(form.Values().AddEnter);
    EXPECT_EQ(form.List(L::cbModel).SelectedText(), u"HHP");
    EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"USB6");
    EXPECT_EQ(form.Check(1) + form.Check(2) + form.Check(3) + form.Check(4), 4);
    EXPECT_TRUE(form.Frame1Enabled() && form.Frame2Enabled());

    // The load and the reading changed controls; the first showing starts clean.
    form.Initialze();
    EXPECT_FALSE(form.ModalResult);
    EXPECT_FALSE(form.MustReopen);
    EXPECT_FALSE(form.Command1Enabled());
}

TEST_F(FrmSetTest, ReadSettingFailsOnDamage) {
    profile.SetEmptySection("BCINFO");
    EXPECT_FALSE(form.ReadSetting());   // "UsePort1" is missing
    EXPECT_EQ(form.Values().Port2, 1);  // the card reader port was looked up first
    EXPECT_EQ(form.Check(3), 1);

    for (const auto& [key, value] :
         std::vector<std::pair<std::string, std::string>>{{"BaudRate", "9"},
                                                          {"Bits", "4"},
                                                          {"Parity", "3"},
                                                          {"StopBits", "2"},
                                                          {"Port", ""},
                                                          {"Port", "3a"},
                                                          {"Port", "2147483648"},
                                                          {"Port2", "x"},
                                                          {"UsePort1", "3"},
                                                          {"UsePort2", ""}}) {
        FakeProfile file;
        FakeSettingsView otherView;
        FrmSet other{file, probe, registry, codec, otherView, u"D:\\Tools", u"app"};
        for (const auto& [k, v] : ExampleFile()) {
            file.Set("BCINFO", k, k == key ? value : v);
        }
        EXPECT_FALSE(other.ReadSetting()) << key << "=" << value;
        EXPECT_TRUE(file.Writes().empty());
    }
}

TEST_F(FrmSetTest, ReadsListIndexesAsTheirEntries) {
    StoreExample();
    Store("BaudRate", "7");
    Store("Parity", "2");
    Store("StopBits", "1");
    Store("Port", "2147483647");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_EQ(form.Values().BaudRate, 115200);
    EXPECT_EQ(form.Values().Parity, 2);
    EXPECT_EQ(form.Values().StopBits, 1);
    EXPECT_EQ(form.List(L::cbParity).SelectedText(), u"偶校验");
    EXPECT_EQ(form.List(L::cbStopBits).SelectedText(), u"2");
    EXPECT_EQ(form.Values().Port, 2147483647);
}

TEST_F(FrmSetTest, StoredScannerPortIsAlwaysSelectable) {
    StoreExample();
    Store("Port", "4");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_EQ(Entries(L::cbPort), (std::vector<Text>{u"COM1", u"COM4", u"COM6"}));
    EXPECT_EQ(form.List(L::cbPort).SelectedText(), u"COM4");

    for (const auto& [stored, expected] : std::vector<std::pair<std::string, std::vector<Text>>>{
             {"8", {u"COM1", u"COM6", u"COM8"}},
             {"12", {u"COM1", u"COM12", u"COM6"}},  // character order, as the list sorts
             {"6", {u"COM1", u"COM6"}}}) {
        FakeProfile file;
        FakeSettingsView otherView;
        FrmSet other{file, probe, registry, codec, otherView, u"D:\\Tools", u"app"};
        file.Set("BCINFO", "UsePort1", "1");
        file.Set("BCINFO", "UsePort2", "0");
        file.Set("BCINFO", "Port", stored);
        ASSERT_TRUE(other.ReadSetting());
        EXPECT_EQ(other.List(L::cbPort).entries, expected);
        EXPECT_EQ(other.List(L::cbPort).SelectedText(), u"COM" + FromAscii(stored));
    }
}

TEST_F(FrmSetTest, UncheckedDevicesAreNotReadGreyedOnesAreInUse) {
    StoreExample();
    Store("UsePort1", "0");
    Store("UsePort2", "2");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_FALSE(form.Frame1Enabled());
    EXPECT_EQ(form.Check(4), 0);
    EXPECT_EQ(form.Values().Port, 0);
    EXPECT_FALSE(form.Values().AddEnter);
    EXPECT_EQ(form.Values().ScannerModel, u"");
    EXPECT_EQ(form.List(L::cbBaudRate).SelectedText(), u"9600");  // the load's default
    // A greyed box is a device in use: its port and make are read and shown as for a tick.
    EXPECT_TRUE(form.Frame2Enabled());
    EXPECT_EQ(form.Check(3), 2);
    EXPECT_EQ(form.Values().Port2, 6);
    EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"USB6");
    EXPECT_EQ(form.Values().CardReaderModel, u"华旭");

    // So it conflicts with the scanner on the same port, and OK writes its port.
    EXPECT_TRUE(Show([](FrmSet& f) {
        f.OnCheckClick(4);
        f.OnListSelect(L::cbPort2, 0);  // COM1
        ASSERT_EQ(f.List(L::cbPort).SelectedText(), f.List(L::cbPort2).SelectedText());
        f.Command1_Click();
        EXPECT_EQ(f.Check(3), 2);
        f.OnListSelect(L::cbPort, 1);  // COM6
        f.Command1_Click();
    }));
    EXPECT_EQ(view.Messages().size(), 1u);
    EXPECT_EQ(profile.Value("BCINFO", "UsePort2"), "2");
    EXPECT_EQ(profile.Value("BCINFO", "Port2"), "1");
    EXPECT_EQ(form.Values().usePort2, u"2");
    EXPECT_EQ(form.Values().Port2, 1);
    EXPECT_EQ(form.Values().Port, 6);
}

TEST_F(FrmSetTest, AddEnterIsOnUnlessStoredAsZero) {
    StoreExample();
    profile.Remove("BCINFO", "AddEnter");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_TRUE(form.Values().AddEnter);
    EXPECT_EQ(form.Check(1), 1);
}

TEST_F(FrmSetTest, BrandsAndMakesMatchByCaseSensitivePrefix) {
    StoreExample();
    Store("Scanner", "hhp");
    Store("CardReader", kHuaShi + "-CVR100U");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_EQ(form.Values().ScannerModel, u"");
    EXPECT_EQ(form.List(L::cbModel).SelectedText(), u"DataLogic");
    EXPECT_EQ(form.Values().CardReaderModel, u"华视");
    EXPECT_EQ(form.List(L::cmCardModel).SelectedText(), u"华视");

    Store("Scanner", "HHP2000");
    FakeSettingsView otherView;
    FrmSet other{profile, probe, registry, codec, otherView, u"D:\\Tools", u"app"};
    ASSERT_TRUE(other.ReadSetting());
    EXPECT_EQ(other.Values().ScannerModel, u"HHP");
}

TEST_F(FrmSetTest, CardReaderPortSelectsUsbOrComEntry) {
    StoreExample();
    Store("Port2", "7");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"USB7");

    Store("Port2", "0");
    FakeSettingsView otherView;
    FrmSet other{profile, probe, registry, codec, otherView, u"D:\\Tools", u"app"};
    EXPECT_TRUE(other.ReadSetting());
    EXPECT_EQ(other.List(L::cbPort2).ListIndex, -1);
}

TEST_F(FrmSetTest, OkWritesTheElevenKeysInOrderAndUpdatesTheModel) {
    probe.SetPresent({1});
    registry.SetValue(kRun, "Velmar", "old");
    const bool confirmed = Show([](FrmSet& f) {
        f.OnCheckClick(4);
        f.OnCheckClick(3);
        f.OnCheckClick(1);
        f.OnListSelect(L::cbModel, 1);  // HHP
        f.OnListSelect(L::cbPort2, 1);  // USB6
        f.Command1_Click();
    });
    EXPECT_TRUE(confirmed);
    std::vector<FakeProfile::Write_> expected;
    for (const auto& [key, value] : ExampleFile()) {
        expected.push_back({"BCINFO", key, value});
    }
    EXPECT_EQ(profile.Writes(), expected);
    EXPECT_EQ(form.Values().ScannerModel, u"HHP");
    EXPECT_EQ(form.Values().CardReaderModel, u"华旭");
    EXPECT_EQ(form.Values().Port, 1);
    EXPECT_EQ(form.Values().Port2, 6);
    EXPECT_EQ(form.Values().BaudRate, 9600);
    EXPECT_EQ(form.Values().ByteSize, 8);
    EXPECT_TRUE(form.Values().AddEnter);
    EXPECT_TRUE(form.MustReopen);
    EXPECT_EQ(registry.Value(kRun, "Velmar"), "old");  // the box was not changed: kept
    EXPECT_FALSE(form.Visible());
}

TEST_F(FrmSetTest, SamePortForBothDevicesIsRefusedOnlyWhenBothAreChecked) {
    probe.SetPresent({1});
    StoreExample();
    Store("Port2", "1");
    ASSERT_TRUE(form.ReadSetting());
    profile.ClearWrites();
    const bool confirmed = Show([&](FrmSet& f) {
        f.OnListSelect(L::cbBaudRate, 4);
        f.Command1_Click();
        EXPECT_TRUE(f.Visible());
        EXPECT_TRUE(profile.Writes().empty());
        f.OnCheckClick(3);  // reader off: no conflict
        f.Command1_Click();
    });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(view.Messages(), std::vector<Text>{u"条码扫描仪和二代证不能使用同一个端口"});
    EXPECT_EQ(profile.Value("BCINFO", "Port"), "1");
    EXPECT_EQ(profile.Value("BCINFO", "Port2"), "1");
    EXPECT_EQ(profile.Value("BCINFO", "UsePort2"), "0");
    EXPECT_EQ(form.Values().Port2, 1);  // the reader is off: its port is not taken
}

TEST_F(FrmSetTest, DeviceInUseWithoutPortIsRefused) {
    probe.SetPresent({});
    Store("UsePort1", "0");
    Store("UsePort2", "1");
    Store("Port2", "0");
    ASSERT_TRUE(form.ReadSetting());
    const bool confirmed = Show([&](FrmSet& f) {
        f.OnCheckClick(4);  // scanner on, no scanner port and no reader port: equal texts
        f.Command1_Click();
        f.OnCheckClick(3);  // reader off
        f.Command1_Click();
        f.OnCheckClick(3);
        f.OnCheckClick(4);  // scanner off, reader on without a port
        f.Command1_Click();
        EXPECT_TRUE(f.Visible());
        f.Command2_Click();
    });
    EXPECT_FALSE(confirmed);
    EXPECT_EQ(view.Messages(),
              (std::vector<Text>{u"条码扫描仪和二代证不能使用同一个端口", u"请选择条码扫描仪端口",
                                 u"请选择二代证读卡器端口"}));
    EXPECT_TRUE(profile.Writes().empty());
}

TEST_F(FrmSetTest, AddEnterAloneSavesWithoutReopen) {
    StoreExample();
    ASSERT_TRUE(form.ReadSetting());
    const bool confirmed = Show([](FrmSet& f) {
        f.Command1_Click();  // nothing changed yet: OK is disabled
        EXPECT_TRUE(f.Visible());
        f.OnCheckClick(1);
        f.Command1_Click();
    });
    EXPECT_TRUE(confirmed);
    EXPECT_EQ(profile.Value("BCINFO", "AddEnter"), "0");
    EXPECT_FALSE(form.Values().AddEnter);
    EXPECT_TRUE(form.ModalResult);
    EXPECT_FALSE(form.MustReopen);

    EXPECT_TRUE(Show([](FrmSet& f) {
        f.OnListSelect(L::cbBaudRate, 5);
        f.Command1_Click();
    }));
    EXPECT_EQ(form.Values().BaudRate, 38400);
    EXPECT_TRUE(form.MustReopen);
}

TEST_F(FrmSetTest, CancelKeepsFileAndModelButTheControlsRemember) {
    StoreExample();
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_FALSE(Show([](FrmSet& f) {
        f.OnListSelect(L::cbBaudRate, 7);
        f.Command2_Click();
    }));
    EXPECT_FALSE(Show([](FrmSet& f) {
        EXPECT_EQ(f.List(L::cbBaudRate).SelectedText(), u"115200");
        f.OnTitleBarClose();
    }));
    EXPECT_TRUE(profile.Writes().empty());
    EXPECT_EQ(form.Values().BaudRate, 9600);
    EXPECT_TRUE(form.Loaded());
    EXPECT_EQ(probe.Probed().size(), 3 * 16u);  // at load and at each showing
}

TEST_F(FrmSetTest, EachShowingListsThePortsPresentThenKeepingTheSelections) {
    StoreExample();  // scanner on COM1, reader on USB6
    ASSERT_TRUE(form.ReadSetting());
    struct Case {
        const char* name;
        std::set<int> present;
        std::vector<Text> scannerPorts;
        Text scanner;
    };
    const std::vector<Case> cases = {
        {"an adapter plugged in since", {1, 6, 7}, {u"COM1", u"COM6", u"COM7"}, u"COM1"},
        {"the selected port open (not free): still listed",
         {6, 7},
         {u"COM1", u"COM6", u"COM7"},
         u"COM1"},
    };
    for (const Case& c : cases) {
        probe.SetPresent(c.present);
        EXPECT_FALSE(Show([](FrmSet& f) { f.Command2_Click(); })) << c.name;
        EXPECT_EQ(Entries(L::cbPort), c.scannerPorts) << c.name;
        EXPECT_EQ(form.List(L::cbPort).SelectedText(), c.scanner) << c.name;
        EXPECT_EQ(form.List(L::cbPort2).SelectedText(), u"USB6") << c.name;
    }
    EXPECT_TRUE(profile.Writes().empty());
}

TEST_F(FrmSetTest, ScannerOffDisablesItsGroupButOkStillWritesItsKeys) {
    StoreExample();
    registry.SetValue(kRun, "Velmar", "old");
    ASSERT_TRUE(form.ReadSetting());
    EXPECT_TRUE(Show([](FrmSet& f) {
        f.OnCheckClick(4);
        EXPECT_FALSE(f.Frame1Enabled());
        f.OnCheckClick(2);                 // inside the group: ignored
        f.OnListSelect(L::cbBaudRate, 0);  // ignored
        f.OnListSelect(L::cbPort2, 2);     // other group: taken (USB7)
        EXPECT_EQ(f.Check(2), 1);
        f.Command1_Click();
    }));
    EXPECT_EQ(profile.Value("BCINFO", "UsePort1"), "0");
    EXPECT_EQ(profile.Value("BCINFO", "BaudRate"), "3");
    EXPECT_EQ(profile.Value("BCINFO", "Port"), "1");
    EXPECT_EQ(form.Values().Port2, 7);
    EXPECT_EQ(registry.Value(kRun, "Velmar"), "old");  // the box was not changed
}

TEST_F(FrmSetTest, AutoStartIsWrittenOnlyWhenTheBoxChangedAndOnlyWhereThisCopyMayStart) {
    using V = std::optional<std::string>;
    const V self = "D:\\Tools\\app.exe", elsewhere = "E:\\Ordane\\Ordane.exe", none;
    const struct {
        const char* what;
        bool protectedCopy, click, refused;
        V machine, user;  // before
        V machineAfter, userAfter;
        const char16_t* told;  // a part of the message, or none
        int box;               // after OK
    } cases[] = {
        {"unchanged box: nothing written, nothing told", true, false, true, self, none, self, none,
         nullptr, kCheckChecked},
        {"unchanged box keeps a moved copy's entry", true, false, false, elsewhere, none, elsewhere,
         none, nullptr, kCheckChecked},
        {"installed copy: the machine's entry", true, true, false, none, none, self, none, nullptr,
         kCheckChecked},
        {"portable copy: the user's own entry, never the machine's", false, true, false, none, none,
         none, self, nullptr, kCheckChecked},
        {"the user's entry naming another folder is not replaced", false, true, false, none,
         elsewhere, none, elsewhere, u"另一个文件夹", kCheckChecked},
        {"another folder's machine entry is not removed", false, true, false, elsewhere, none,
         elsewhere, none, u"另一个文件夹", kCheckChecked},
        {"this copy's entries go from both hives", false, true, false, self, self, none, none,
         nullptr, kCheckUnchecked},
        {"a standard user cannot remove the machine's entry", true, true, true, self, none, self,
         none, u"无法取消自动启动", kCheckChecked},
        {"a standard user cannot set the machine's entry", true, true, true, none, none, none, none,
         u"无法设置自动启动", kCheckUnchecked},
    };
    for (const auto& c : cases) {
        FakeRegistry machine, user;
        FakeSettingsView otherView;
        for (auto [hive, value] : {std::pair{&machine, c.machine}, std::pair{&user, c.user}}) {
            if (value) {
                hive->SetValue(kRun, "Velmar", *value);
            }
            hive->SetWritesRefused(c.refused);
        }
        FrmSet other{profile,
                     probe,
                     machine,
                     codec,
                     otherView,
                     u"D:\\Tools",
                     u"app",
                     DiagnosticLog::Off(),
                     AutoStartPlaces{&user, c.protectedCopy}};
        StoreExample();
        ASSERT_TRUE(other.ReadSetting()) << c.what;
        other.Initialze();
        otherView.OnNextShowing([&c](FrmSet& f) {
            f.OnListSelect(L::cbBaudRate, 7);  // OK needs a change
            if (c.click) {
                f.OnCheckClick(2);
            }
            f.Command1_Click();
        });
        EXPECT_TRUE(other.ShowDialog(nullptr)) << c.what;
        EXPECT_EQ(machine.Value(kRun, "Velmar"), c.machineAfter) << c.what;
        EXPECT_EQ(user.Value(kRun, "Velmar"), c.userAfter) << c.what;
        ASSERT_EQ(otherView.Messages().size(), c.told ? 1u : 0u) << c.what;
        if (c.told) {
            EXPECT_NE(otherView.Messages()[0].find(c.told), Text::npos) << c.what;
        }
        EXPECT_EQ(other.Check(2), c.box) << c.what;
    }
}

TEST_F(FrmSetTest, OkThatCannotWriteTheFileSaysSoAndLeavesFileModelAndDialogAsTheyWere) {
    StoreExample();
    profile.Remove("BCINFO", "CardReader");  // absent before, so absent after a refused OK
    ASSERT_TRUE(form.ReadSetting());
    const auto file = [this] {
        std::vector<std::optional<std::string>> values;
        for (const auto& [key, value] : ExampleFile()) {
            values.push_back(profile.Value("BCINFO", key));
        }
        return values;
    };
    const auto stored = file();
    EXPECT_TRUE(Show([&](FrmSet& f) {
        f.OnListSelect(L::cbBaudRate, 7);
        for (int refused : {0, 1}) {  // a read-only file; a file held by another program
            if (refused == 0) {
                profile.SetWritable(false);
            } else {
                profile.SetWritable(true);
                profile.RefuseOnceAfter(4);
            }
            f.Command1_Click();
            EXPECT_TRUE(f.Visible()) << refused;
            EXPECT_FALSE(f.ModalResult);
            EXPECT_EQ(file(), stored) << refused;
            EXPECT_EQ(f.Values().BaudRate, 9600);
            EXPECT_EQ(Index(L::cbBaudRate), 7);  // the choice is still there to try again
        }
        f.Command1_Click();
    }));
    ASSERT_EQ(view.Messages().size(), 2u);
    EXPECT_NE(view.Messages()[0].find(u"Setting.ini"), Text::npos);
    EXPECT_EQ(form.Values().BaudRate, 115200);
    EXPECT_EQ(profile.Value("BCINFO", "BaudRate"), "7");
}

TEST_F(FrmSetTest, AutoStartPathIsJoinedOnceAndQuotedWhenItHasSpaces) {
    for (const auto& [folder, expected] : std::vector<std::pair<Text, std::string>>{
             {u"C:\\", "C:\\Ordane.exe"},
             {u"C:\\Program Files\\Ordane", "\"C:\\Program Files\\Ordane\\Ordane.exe\""}}) {
        FakeProfile file;
        FakeRegistry hive;
        FakeSettingsView otherView;
        FrmSet other{file, probe, hive, codec, otherView, folder, u"Ordane"};
        other.Initialze();
        otherView.OnNextShowing([](FrmSet& f) {
            f.OnCheckClick(2);
            f.Command1_Click();
        });
        EXPECT_TRUE(other.ShowDialog(nullptr));
        EXPECT_EQ(hive.Value(kRun, "Velmar"), expected);
    }
}

TEST_F(FrmSetTest, ValuesTheFleetPolicyFixesWinAreShownUnusableAndKeptOutOfTheFile) {
    StoreExample();
    profile.Set("SCAN", "Terminator", "CR");
    FakeProfile policy;
    FleetProfile fleet(policy, profile);
    policy.Set("BCINFO", "BaudRate", "7");  // 115200 for every workstation
    policy.Set("BCINFO", "AddEnter", "0");
    policy.Set("BCINFO", "Parity", "2");
    policy.Set("SCAN", "Terminator", "LF");  // [SCAN] has a reader of its own
    profile.Remove("BCINFO", "Parity");
    const struct {
        const char* section;
        const char* key;
        std::string read;
        bool fixed;
    } reads[] = {
        {"BCINFO", "BaudRate", "7", true},   // the policy wins over the file's 3
        {"BCINFO", "Parity", "2", true},     // the file has none
        {"BCINFO", "Port", "1", false},      // not in the policy: the file's
        {"BCINFO", "StopBits", "0", false},  // the file's
        {"BCINFO", "Bits", "3", false},      {"BCINFO", "Missing", "dflt", false},
        {"SCAN", "Terminator", "CR", false},
    };
    for (const auto& r : reads) {
        EXPECT_EQ(fleet.Read(r.section, r.key, "dflt"), r.read) << r.key;
        EXPECT_EQ(fleet.Fixed(r.section, r.key), r.fixed) << r.key;
    }

    FakeSettingsView fleetView;
    FrmSet fleetForm{fleet, probe, registry, codec, fleetView, u"D:\\Tools", u"app"};
    ASSERT_TRUE(fleetForm.ReadSetting());
    EXPECT_EQ(fleetForm.Values().BaudRate, 115200);
    EXPECT_FALSE(fleetForm.Values().AddEnter);
    const struct {
        L list;
        bool fixed;
    } lists[] = {
        {L::cbBaudRate, true}, {L::cbParity, true},     {L::cbModel, false},
        {L::cbPort, false},    {L::cbByteSize, false},  {L::cbStopBits, false},
        {L::cbPort2, false},   {L::cmCardModel, false},
    };
    for (const auto& l : lists) {
        EXPECT_EQ(fleetForm.ListFixed(l.list), l.fixed) << static_cast<int>(l.list);
        EXPECT_EQ(fleetForm.ListUsable(l.list), !l.fixed) << static_cast<int>(l.list);
    }
    EXPECT_TRUE(fleetForm.CheckFixed(1));
    EXPECT_FALSE(fleetForm.CheckUsable(1));
    for (int n : {2, 3, 4}) {
        EXPECT_FALSE(fleetForm.CheckFixed(n)) << n;
        EXPECT_TRUE(fleetForm.CheckUsable(n)) << n;
    }

    fleetForm.Initialze();
    fleetView.OnNextShowing([](FrmSet& f) {
        f.OnListSelect(L::cbBaudRate, 0);  // fixed: ignored
        f.OnCheckClick(1);                 // fixed: ignored
        f.OnListSelect(L::cbByteSize, 2);  // 7 bits: taken
        f.Command1_Click();
    });
    EXPECT_TRUE(fleetForm.ShowDialog(nullptr));
    EXPECT_EQ(fleetForm.List(L::cbBaudRate).ListIndex, 7);
    EXPECT_EQ(fleetForm.Check(1), kCheckUnchecked);
    // The file keeps what it had for the fixed values, the others are saved.
    EXPECT_EQ(profile.Value("BCINFO", "BaudRate"), "3");
    EXPECT_EQ(profile.Value("BCINFO", "AddEnter"), "1");
    EXPECT_EQ(profile.Value("BCINFO", "Parity"), std::nullopt);
    EXPECT_EQ(profile.Value("BCINFO", "Bits"), "2");
    for (const FakeProfile::Write_& write : profile.Writes()) {
        EXPECT_NE(write.key, "BaudRate");
        EXPECT_NE(write.key, "AddEnter");
        EXPECT_NE(write.key, "Parity");
    }
    EXPECT_EQ(fleetForm.Values().BaudRate, 115200);
}

}  // namespace
}  // namespace ordane
