// The settings form frmSet: the portable model of the settings dialog ("串口通讯设置") and the one
// reader and writer of Setting.ini's [BCINFO]. It keeps its own copy of the settings: what the
// file held when last read or what OK last saved, which FrmMain takes as the settings in force
// (Values). The window (SettingsView) only mirrors the controls kept here and reports the
// user's actions; every rule lives in this class.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/registry.h"
#include "common/text.h"
#include "log/diagnostic_log.h"
#include "devices/port_probe.h"
#include "settings/profile_file.h"
#include "settings/settings_model.h"
#include "settings/settings_view.h"

namespace ordane {

// A drop-down list: the user picks an entry and cannot type.
struct DropDownList {
    std::vector<Text> entries;
    int ListIndex = -1;  // -1: nothing selected

    int ListCount() const { return static_cast<int>(entries.size()); }
    // The selected entry's text, empty when nothing is selected.
    Text SelectedText() const;
};

// The eight lists, in the order of their control IDs (1401 ... 1408).
enum class SettingsList {
    cbModel,
    cbPort,
    cbBaudRate,
    cbByteSize,
    cbStopBits,
    cbParity,
    cmCardModel,
    cbPort2,
};
inline constexpr int kSettingsListCount = 8;

// Check boxes: Check1 add Enter, Check2 start automatically, Check3 use ID card reader (title
// of Frame2), Check4 use barcode scanner (title of Frame1). Values 0 unchecked, 1 checked,
// 2 greyed.
inline constexpr int kCheckUnchecked = 0;
inline constexpr int kCheckChecked = 1;
inline constexpr int kCheckGreyed = 2;

// Where the auto-start entry may go: the user's own hive (none: only the machine's) and whether
// this copy is protected from its users (an installed one).
struct AutoStartPlaces {
    Registry* user = nullptr;
    bool protectedCopy = true;
};

class FrmSet {
  public:
    // exeFolder: the directory of the running executable as the system reports it;
    // exeBaseName: the executable's file name without its extension (for the auto-start entry).
    FrmSet(ProfileFile& profile, PortProbe& probe, Registry& registry, const AnsiCodec& codec,
           SettingsView& view, Text exeFolder, Text exeBaseName,
           DiagnosticLog& log = DiagnosticLog::Off(), AutoStartPlaces autoStart = {});
    FrmSet(const FrmSet&) = delete;
    FrmSet& operator=(const FrmSet&) = delete;

    // --- Used by the main window --------------------------------------------------------
    // Loads the dialog without showing it: Form_Load runs on the first call only (port probe,
    // default selections). Every entry point below that touches the controls calls it.
    void EnsureLoaded();
    bool Loaded() const { return loaded_; }
    // Reads "Setting.ini" into the copy and the controls; False when the file is damaged.
    bool ReadSetting();
    // The copy: the settings as Setting.ini was last read or OK last saved them.
    const Settings& Values() const { return values_; }
    // Prepares a showing: ModalResult and MustReopen False, OK disabled until a change. With
    // a device failed OK is enabled at once, since confirming alone reopens it. Spelt as the
    // user guide and the support scripts spell it, on purpose.
    void Initialze(bool deviceFailed = false);
    // Shows the dialog modally over owner (opaque native handle); returns ModalResult.
    bool ShowDialog(void* owner);
    // Assigning any value enables OK.
    void Changed(bool nValue);
    // Fills cbPort and cbPort2 from the port probe (appends; runs once, from Form_Load).
    void GetAllPorts();
    // The scanner answered on another port (its adapter moved): the copy, the list and
    // Setting.ini's Port follow. False when the write was refused (the copy follows anyway).
    bool MoveScannerPort(std::int32_t port);
    // Lists the ports present now, keeping the selections.
    void RelistPorts();
    PortProbe& Probe() { return probe_; }

    // --- The controls, as the window shows them -----------------------------------------
    const DropDownList& List(SettingsList list) const;
    int Check(int n) const;  // n = 1 ... 4
    bool Frame1Enabled() const { return frame1Enabled_; }
    bool Frame2Enabled() const { return frame2Enabled_; }
    bool Command1Enabled() const { return command1Enabled_; }
    // Whether the user can operate the control now: its frame is enabled and its value is not
    // fixed by the fleet's policy.
    bool ListUsable(SettingsList list) const;
    bool CheckUsable(int n) const;
    // Whether the control's value is fixed by the fleet's policy (shown, never changed).
    bool ListFixed(SettingsList list) const;
    bool CheckFixed(int n) const;
    bool Visible() const { return visible_; }

    // --- Changes by the program: each runs the control's change handler when the value
    // changes. False (nothing changed) for an index with no entry or a value other than
    // 0, 1 and 2. ---------------------------------------------------------------------------
    bool SetListIndex(SettingsList list, int index);
    bool SetCheck(int n, int value);

    // --- The user's actions, as the window reports them. Ignored while the control is not
    // usable. -------------------------------------------------------------------------------
    void OnListSelect(SettingsList list, int index);
    // A click on a check box: checked becomes unchecked, unchecked or greyed becomes checked.
    void OnCheckClick(int n);
    void Command1_Click();  // OK
    void Command2_Click();  // Cancel
    // Closing from the title bar: as Cancel; the dialog stays loaded with its controls.
    void OnTitleBarClose();

    // The auto-start entry under HKEY_LOCAL_MACHINE (a portable copy's: HKEY_CURRENT_USER).
    static constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    static constexpr const char* kRunValue = "Velmar";

    // The result of the last showing: True when it ended with OK.
    bool ModalResult = false;
    // A change since the last Initialze concerns the devices: they are closed and reopened.
    bool MustReopen = false;

  private:
    void Form_Load();
    bool ReadSettingSteps();
    // Set a control without refreshing the window; the change handler runs on a change.
    bool SelectIndex(SettingsList list, int index);
    bool SetCheckValue(int n, int value);
    void ListChanged(SettingsList list);
    void CheckChanged(int n);
    void LoadAutoStart();
    // Whether an auto-start entry is there (False when the keys cannot be read).
    bool AutoStartRegistered();
    std::optional<Text> RunValue(Registry& hive);
    // Writes the entry as the box wants it; a refusal is told and the box shows the entry.
    void SaveAutoStart();
    // The auto-start value's data: the executable's full path.
    Text AutoStartCommand() const;
    void HideDialog();
    // Writes the keys in order; False, with the file as before, when a write is refused.
    bool WriteKeys(const std::vector<std::pair<const char*, std::string>>& values);
    std::string ReadKey(const char* key, const char* defaultValue);
    DropDownList& Mutable(SettingsList list);
    // Selects "COM" + port in cbPort, inserting it in order when it is not listed.
    void SelectScannerPort(std::int32_t port);
    // Case-sensitive prefix match of a stored brand/make against a list; selects the entry.
    bool MatchStored(SettingsList list, const Text& stored, Text& field);

    ProfileFile& profile_;
    PortProbe& probe_;
    Registry& registry_;
    const AnsiCodec& codec_;
    SettingsView& view_;
    Text exeFolder_;
    Text exeBaseName_;
    DiagnosticLog& log_;
    AutoStartPlaces autoStart_;
    bool autoStartShown_ = false;  // the box as the dialog opened

    bool loaded_ = false;
    bool visible_ = false;
    std::array<DropDownList, kSettingsListCount> lists_;
    std::array<int, 4> checks_{};
    bool frame1Enabled_ = true;
    bool frame2Enabled_ = true;
    bool command1Enabled_ = true;
    Settings values_;
};

}  // namespace ordane
