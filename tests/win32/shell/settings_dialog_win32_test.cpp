// The settings dialog window driven through its controls, as a user or an automation tool
// would: by control ID and window messages. The form runs on in-memory profile, registry and
// port probe.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <set>
#include <string>

#include "common/ansi_codec_win32.h"
#include "doubles/fake_port_probe.h"
#include "doubles/fake_profile.h"
#include "doubles/fake_registry.h"
#include "settings/fleet_profile.h"
#include "settings/frm_set.h"
#include "settings/settings_dialog_win32.h"

namespace ordane {
namespace {

using D = SettingsDialogWin32;

std::wstring WindowText(HWND hwnd) {
    wchar_t buffer[256] = {};
    GetWindowTextW(hwnd, buffer, 256);
    return buffer;
}

std::wstring ComboEntry(HWND combo, int index) {
    wchar_t buffer[64] = {};
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

// The user picks an entry of a drop-down list.
void Pick(HWND dialog, int listId, int index) {
    HWND combo = GetDlgItem(dialog, listId);
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(listId, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void Click(HWND dialog, int id) {
    SendMessageW(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

// A visible message box of this thread.
BOOL CALLBACK FindMessageBox(HWND w, LPARAM found) {
    wchar_t cls[16] = {};
    GetClassNameW(w, cls, 16);
    if (wcscmp(cls, L"#32770") == 0 && IsWindowVisible(w)) {
        *reinterpret_cast<HWND*>(found) = w;
        return FALSE;
    }
    return TRUE;
}

LONG Style(HWND dialog, int id) {
    return GetWindowLongW(GetDlgItem(dialog, id), GWL_STYLE);
}

class SettingsDialogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{
                 {"Scanner", "HHP"},
                 {"Port", "1"},
                 {"BaudRate", "3"},
                 {"Bits", "3"},
                 {"Parity", "0"},
                 {"StopBits", "0"},
                 {"AddEnter", "1"},
                 {"UsePort2", "1"},
                 {"UsePort1", "1"},
                 {"Port2", "6"},
                 {"CardReader", "\xBB\xAA\xCA\xD3"}}) {  // 华视
            profile.Set("BCINFO", key, value);
        }
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &SettingsDialogTest::OwnerProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"SettingsDialogTestOwner";
        RegisterClassW(&wc);
        owner = CreateWindowExW(0, wc.lpszClassName, L"owner", WS_OVERLAPPEDWINDOW, 100, 100, 600,
                                400, nullptr, nullptr, wc.hInstance, nullptr);
        ASSERT_NE(owner, nullptr);
        current = this;
    }
    void TearDown() override {
        current = nullptr;
        DestroyWindow(owner);
    }

    // The owner's timer: the test's script runs tick by tick while the dialog is modal.
    static LRESULT CALLBACK OwnerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
        if (msg == WM_TIMER && current != nullptr && current->onTick) {
            ++current->ticks;
            current->onTick(current->ticks);
            return 0;
        }
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }

    test::FakeProfile profile;
    test::FakePortProbe probe{std::set<int>{1, 3}};
    test::FakeRegistry registry;
    AnsiCodecWin32 codec;
    SettingsDialogWin32 dialog{GetModuleHandleW(nullptr)};
    FrmSet form{profile, probe, registry, codec, dialog, u"C:\\Ordane", u"Ordane"};
    HWND owner = nullptr;
    int ticks = 0;
    std::function<void(int)> onTick;
    static SettingsDialogTest* current;
};

SettingsDialogTest* SettingsDialogTest::current = nullptr;

TEST_F(SettingsDialogTest, ControlsHaveTheirIdsKindsAndCaptions) {
    ASSERT_TRUE(form.ReadSetting());
    ASSERT_TRUE(dialog.Create(owner));
    HWND hwnd = dialog.Handle();
    EXPECT_EQ(WindowText(hwnd), L"串口通讯设置");
    EXPECT_FALSE(IsWindowVisible(hwnd));

    HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
    RECT client;
    GetClientRect(hwnd, &client);
    EXPECT_EQ(client.right, MulDiv(4845, dpi, 1440));
    EXPECT_EQ(client.bottom, MulDiv(3450, dpi, 1440));

    for (int id = 1401; id <= 1408; ++id) {
        wchar_t cls[32] = {};
        GetClassNameW(GetDlgItem(hwnd, id), cls, 32);
        EXPECT_EQ(_wcsicmp(cls, L"ComboBox"), 0) << id;
        EXPECT_EQ(Style(hwnd, id) & 3, CBS_DROPDOWNLIST) << id;
    }
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(Style(hwnd, D::kCheckBase + n) & BS_TYPEMASK, BS_3STATE) << n;
    }
    EXPECT_EQ(Style(hwnd, 1301) & BS_TYPEMASK, BS_GROUPBOX);
    EXPECT_EQ(Style(hwnd, 1302) & BS_TYPEMASK, BS_GROUPBOX);
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, 1201)), L"确定");
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, 1202)), L"取消");
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, 1104)), L"使用条码扫描仪");
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, 1103)), L"使用二代证读卡器");
    EXPECT_EQ(WindowText(GetDlgItem(hwnd, 1003)), L"奇偶校验");

    // The controls show what was read, the stored make decoded from code page 936.
    HWND port = GetDlgItem(hwnd, 1402);
    EXPECT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(ComboEntry(port, static_cast<int>(SendMessageW(port, CB_GETCURSEL, 0, 0))), L"COM1");
    HWND make = GetDlgItem(hwnd, 1407);
    EXPECT_EQ(ComboEntry(make, static_cast<int>(SendMessageW(make, CB_GETCURSEL, 0, 0))), L"华视");
    HWND readerPort = GetDlgItem(hwnd, 1408);
    EXPECT_EQ(SendMessageW(readerPort, CB_GETCOUNT, 0, 0), 6);
    EXPECT_EQ(
        ComboEntry(readerPort, static_cast<int>(SendMessageW(readerPort, CB_GETCURSEL, 0, 0))),
        L"USB6");
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1101), BM_GETCHECK, 0, 0), BST_CHECKED);
}

TEST_F(SettingsDialogTest, ControlsDriveTheFormAndMirrorIt) {
    profile.Set("BCINFO", "UsePort2", "2");
    ASSERT_TRUE(form.ReadSetting());
    form.Initialze();
    ASSERT_TRUE(dialog.Create(owner));
    HWND hwnd = dialog.Handle();
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1103), BM_GETCHECK, 0, 0), BST_INDETERMINATE);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, 1201)));  // OK waits for a change

    Pick(hwnd, 1403, 7);  // cbBaudRate 115200
    EXPECT_EQ(form.List(SettingsList::cbBaudRate).ListIndex, 7);
    EXPECT_TRUE(form.MustReopen);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1201)));

    // Scanner off: its frame's controls are unusable, the title box is not.
    Click(hwnd, 1104);
    EXPECT_EQ(form.Check(4), 0);
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1104), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, 1403)));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, 1102)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1104)));
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1408)));
    // A selection that reaches a disabled list anyway is put back.
    Pick(hwnd, 1403, 0);
    EXPECT_EQ(form.List(SettingsList::cbBaudRate).ListIndex, 7);
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1403), CB_GETCURSEL, 0, 0), 7);
    Click(hwnd, 1104);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1403)));

    // A greyed box becomes checked on a click.
    Click(hwnd, 1103);
    EXPECT_EQ(form.Check(3), 1);
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1103), BM_GETCHECK, 0, 0), BST_CHECKED);

    Pick(hwnd, 1408, 2);  // USB6, not the scanner's COM1
    Click(hwnd, 1201);
    EXPECT_TRUE(form.ModalResult);
    EXPECT_EQ(profile.Value("BCINFO", "Port2"), "6");
    EXPECT_EQ(profile.Value("BCINFO", "BaudRate"), "7");
    EXPECT_EQ(profile.Value("BCINFO", "UsePort2"), "1");
    EXPECT_EQ(form.Values().BaudRate, 115200);
}

TEST_F(SettingsDialogTest, AValueTheFleetPolicyFixesIsShownGreyedAndNotSaved) {
    test::FakeProfile policy;
    policy.Set("BCINFO", "BaudRate", "7");  // 115200
    policy.Set("BCINFO", "UsePort2", "0");  // no card reader on this fleet
    FleetProfile fleet(policy, profile);
    SettingsDialogWin32 fleetDialog{GetModuleHandleW(nullptr)};
    FrmSet fleetForm{fleet, probe, registry, codec, fleetDialog, u"C:\\Ordane", u"Ordane"};
    ASSERT_TRUE(fleetForm.ReadSetting());
    fleetForm.Initialze();
    ASSERT_TRUE(fleetDialog.Create(owner));
    HWND hwnd = fleetDialog.Handle();
    HWND baudRate = GetDlgItem(hwnd, 1403);
    EXPECT_FALSE(IsWindowEnabled(baudRate));
    EXPECT_EQ(ComboEntry(baudRate, static_cast<int>(SendMessageW(baudRate, CB_GETCURSEL, 0, 0))),
              L"115200");
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(hwnd, 1103)));  // the reader's title box
    EXPECT_EQ(SendMessageW(GetDlgItem(hwnd, 1103), BM_GETCHECK, 0, 0), BST_UNCHECKED);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1404)));  // cbByteSize: the file's own
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(hwnd, 1104)));

    Pick(hwnd, 1403, 0);  // reaches the greyed list anyway: put back
    EXPECT_EQ(SendMessageW(baudRate, CB_GETCURSEL, 0, 0), 7);
    Click(hwnd, 1103);
    EXPECT_EQ(fleetForm.Check(3), 0);
    Pick(hwnd, 1404, 2);  // 7 bits
    Click(hwnd, 1201);
    EXPECT_TRUE(fleetForm.ModalResult);
    EXPECT_EQ(profile.Value("BCINFO", "Bits"), "2");
    EXPECT_EQ(profile.Value("BCINFO", "BaudRate"), "3");  // the file keeps its own
    EXPECT_EQ(profile.Value("BCINFO", "UsePort2"), "1");
    fleetDialog.Unload();
}

TEST_F(SettingsDialogTest, ModalShowingKeepsOwnerTimersAndEndsWithTheDialog) {
    ASSERT_TRUE(form.ReadSetting());
    form.Initialze();
    bool ownerDisabled = false;
    bool centred = false;
    onTick = [&](int tick) {
        HWND hwnd = dialog.Handle();
        if (tick == 2) {
            ownerDisabled = !IsWindowEnabled(owner) && IsWindowVisible(hwnd);
            RECT o, d;
            GetWindowRect(owner, &o);
            GetWindowRect(hwnd, &d);
            centred = std::abs((o.left + o.right) - (d.left + d.right)) <= 2 &&
                      std::abs((o.top + o.bottom) - (d.top + d.bottom)) <= 2;
            Pick(hwnd, 1408, 0);  // the card reader on COM1, like the scanner
            Click(hwnd, 1201);    // refused with a message box; the dialog stays
        } else if (tick == 4) {
            HWND box = nullptr;
            EnumThreadWindows(GetCurrentThreadId(), &FindMessageBox,
                              reinterpret_cast<LPARAM>(&box));
            ASSERT_NE(box, nullptr);
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        } else if (tick == 6) {
            EXPECT_TRUE(IsWindowVisible(hwnd));
            PostMessageW(hwnd, WM_CLOSE, 0, 0);  // the title bar's close button
        }
    };
    SetTimer(owner, 1, 30, nullptr);
    const bool confirmed = form.ShowDialog(owner);
    KillTimer(owner, 1);
    EXPECT_FALSE(confirmed);
    EXPECT_GE(ticks, 6);
    EXPECT_TRUE(ownerDisabled);
    EXPECT_TRUE(centred);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindowVisible(dialog.Handle()));
    EXPECT_TRUE(profile.Writes().empty());
    EXPECT_EQ(form.List(SettingsList::cbPort2).SelectedText(), u"COM1");  // kept for next time
}

}  // namespace
}  // namespace ordane
