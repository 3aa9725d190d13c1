#include "settings/frm_set.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <utility>

#include "settings/auto_start.h"

namespace ordane {

namespace {

constexpr const char* kSection = "BCINFO";
// Stored brand and make texts are kept to this many bytes when read back.
constexpr std::size_t kTextKeyBytes = 19;
// Card reader entries "COMn" exist only below this number; above come the USB entries.
constexpr int kFirstUsbPort = 6;

constexpr char16_t kSamePortMessage[] = u"条码扫描仪和二代证不能使用同一个端口";
constexpr char16_t kNoScannerPortMessage[] = u"请选择条码扫描仪端口";
constexpr char16_t kNoReaderPortMessage[] = u"请选择二代证读卡器端口";
constexpr char16_t kNotSavedMessage[] =
    u"设置没有保存：无法写入配置文件Setting.ini。\n"
    u"请联系系统管理员，为程序文件夹中的Setting.ini开放写入权限（或重新安装本程序）。";
constexpr char16_t kAutoStartNotSetMessage[] =
    u"无法设置自动启动：没有修改注册表启动项的权限。\n"
    u"其他设置已经保存。请联系系统管理员设置自动启动（安装程序可以设置）。";
constexpr char16_t kAutoStartNotRemovedMessage[] =
    u"无法取消自动启动：没有修改注册表启动项的权限。\n"
    u"其他设置已经保存。请联系系统管理员取消自动启动。";
constexpr char16_t kAutoStartOtherProgramMessage[] =
    u"自动启动没有更改：启动项指向另一个文件夹中的程序\n";
constexpr char16_t kAutoStartOtherProgramHint[] = u"\n其他设置已经保存。请联系系统管理员。";

std::string Prefix(const std::string& value, std::size_t bytes) {
    return value.substr(0, bytes);
}

// The first character of a value as a decimal digit.
bool Digit(const std::string& value, int& digit) {
    if (value.empty() || value[0] < '0' || value[0] > '9') {
        return false;
    }
    digit = value[0] - '0';
    return true;
}

// A check box value given as text: 0, 1 or 2 only.
bool CheckValue(const Text& flag, int& value) {
    if (flag.size() != 1 || flag[0] < u'0' || flag[0] > u'2') {
        return false;
    }
    value = flag[0] - u'0';
    return true;
}

bool ParseText(const Text& text, std::int32_t& value) {
    for (char16_t c : text) {
        if (c > 0x7F) {
            return false;
        }
    }
    return ParseDecimal(ToUtf8(text), value);
}

// The port number of a port entry: its text after the first three characters.
Text PortPart(const Text& entry) {
    return entry.size() > 3 ? entry.substr(3) : Text();
}

bool IsFrame1Member(SettingsList list) {
    return list != SettingsList::cmCardModel && list != SettingsList::cbPort2;
}

// The key of Setting.ini each list stores its choice in, in the lists' order.
constexpr const char* kListKeys[kSettingsListCount] = {
    "Scanner", "Port", "BaudRate", "Bits", "StopBits", "Parity", "CardReader", "Port2",
};
// The key of each check box; auto-start (Check2) is the Run entry, not a key.
constexpr const char* kCheckKeys[4] = {"AddEnter", nullptr, "UsePort2", "UsePort1"};

}  // namespace

Text DropDownList::SelectedText() const {
    if (ListIndex < 0 || ListIndex >= ListCount()) {
        return Text();
    }
    return entries[static_cast<std::size_t>(ListIndex)];
}

FrmSet::FrmSet(ProfileFile& profile, PortProbe& probe, Registry& registry, const AnsiCodec& codec,
               SettingsView& view, Text exeFolder, Text exeBaseName, DiagnosticLog& log,
               AutoStartPlaces autoStart)
    : profile_(profile),
      probe_(probe),
      registry_(registry),
      codec_(codec),
      view_(view),
      exeFolder_(std::move(exeFolder)),
      exeBaseName_(std::move(exeBaseName)),
      log_(log),
      autoStart_(autoStart) {
    // Entries fixed at design; their indexes are what "Setting.ini" stores.
    Mutable(SettingsList::cbModel).entries = {u"DataLogic", u"HHP", u"Denso", u"NewLand"};
    Mutable(SettingsList::cbBaudRate).entries = {u"2400",  u"4800",  u"7200",  u"9600",
                                                 u"19200", u"38400", u"57600", u"115200"};
    Mutable(SettingsList::cbByteSize).entries = {u"5", u"6", u"7", u"8"};
    Mutable(SettingsList::cbStopBits).entries = {u"1", u"2"};
    Mutable(SettingsList::cbParity).entries = {u"无校验", u"奇校验", u"偶校验"};
    Mutable(SettingsList::cmCardModel).entries = {u"华旭", u"华视"};
    view_.Attach(*this);
}

DropDownList& FrmSet::Mutable(SettingsList list) {
    return lists_[static_cast<std::size_t>(list)];
}

const DropDownList& FrmSet::List(SettingsList list) const {
    return lists_[static_cast<std::size_t>(list)];
}

int FrmSet::Check(int n) const {
    return n >= 1 && n <= 4 ? checks_[static_cast<std::size_t>(n - 1)] : kCheckUnchecked;
}

bool FrmSet::ListFixed(SettingsList list) const {
    return profile_.Fixed(kSection, kListKeys[static_cast<std::size_t>(list)]);
}

bool FrmSet::CheckFixed(int n) const {
    const char* key = n >= 1 && n <= 4 ? kCheckKeys[static_cast<std::size_t>(n - 1)] : nullptr;
    return key != nullptr && profile_.Fixed(kSection, key);
}

bool FrmSet::ListUsable(SettingsList list) const {
    return (IsFrame1Member(list) ? frame1Enabled_ : frame2Enabled_) && !ListFixed(list);
}

bool FrmSet::CheckUsable(int n) const {
    // Check1 and Check2 lie inside Frame1; Check3 and Check4 are the frames' titles.
    return ((n == 1 || n == 2) ? frame1Enabled_ : (n == 3 || n == 4)) && !CheckFixed(n);
}

void FrmSet::EnsureLoaded() {
    if (loaded_) {
        return;
    }
    loaded_ = true;
    Form_Load();
    view_.Refresh();
}

void FrmSet::Form_Load() {
    GetAllPorts();
    SelectIndex(SettingsList::cbModel, 0);
    if (List(SettingsList::cbPort).ListCount() > 0) {
        SelectIndex(SettingsList::cbPort, 0);
    }
    SelectIndex(SettingsList::cbBaudRate, 3);  // 9600
    SelectIndex(SettingsList::cbByteSize, 3);  // 8
    SelectIndex(SettingsList::cbStopBits, 0);
    SelectIndex(SettingsList::cbParity, 0);
    SelectIndex(SettingsList::cbPort2, 0);
    Mutable(SettingsList::cbModel).entries.push_back(u"Symbol");
    Mutable(SettingsList::cbModel).entries.push_back(u"Metrologic");
    SelectIndex(SettingsList::cmCardModel, 0);
}

void FrmSet::GetAllPorts() {
    DropDownList& ports = Mutable(SettingsList::cbPort);
    DropDownList& readerPorts = Mutable(SettingsList::cbPort2);
    for (int n : PortsToTry(probe_)) {
        if (!probe_.CanOpen(n)) {
            continue;
        }
        const Text entry = u"COM" + ToDecimal(n);
        ports.entries.push_back(entry);
        if (n < kFirstUsbPort) {
            readerPorts.entries.push_back(entry);
        }
    }
    for (int n = kFirstUsbPort; n <= 9; ++n) {
        readerPorts.entries.push_back(u"USB" + ToDecimal(n));
    }
}

void FrmSet::Changed(bool /*nValue*/) {
    command1Enabled_ = true;
}

bool FrmSet::SelectIndex(SettingsList list, int index) {
    DropDownList& control = Mutable(list);
    if (index < -1 || index >= control.ListCount()) {
        return false;
    }
    if (control.ListIndex == index) {
        return true;
    }
    control.ListIndex = index;
    ListChanged(list);
    return true;
}

bool FrmSet::SetCheckValue(int n, int value) {
    if (n < 1 || n > 4 || value < kCheckUnchecked || value > kCheckGreyed) {
        return false;
    }
    int& current = checks_[static_cast<std::size_t>(n - 1)];
    if (current == value) {
        return true;
    }
    current = value;
    CheckChanged(n);
    return true;
}

void FrmSet::ListChanged(SettingsList /*list*/) {
    Changed(true);
    MustReopen = true;
}

void FrmSet::CheckChanged(int n) {
    switch (n) {
        case 3:
        case 4: {
            // A greyed box leaves its group usable: only unchecked switches the device off.
            const bool enabled = Check(n) != kCheckUnchecked;
            (n == 4 ? frame1Enabled_ : frame2Enabled_) = enabled;
            command1Enabled_ = true;
            Changed(true);
            MustReopen = true;
            break;
        }
        default:
            // Add Enter and auto-start do not concern the devices.
            Changed(true);
            break;
    }
}

bool FrmSet::SetListIndex(SettingsList list, int index) {
    EnsureLoaded();
    const bool ok = SelectIndex(list, index);
    view_.Refresh();
    return ok;
}

bool FrmSet::SetCheck(int n, int value) {
    EnsureLoaded();
    const bool ok = SetCheckValue(n, value);
    view_.Refresh();
    return ok;
}

void FrmSet::OnListSelect(SettingsList list, int index) {
    if (ListUsable(list)) {
        SetListIndex(list, index);
    } else {
        view_.Refresh();  // the window shows the model's selection again
    }
}

void FrmSet::OnCheckClick(int n) {
    if (CheckUsable(n)) {
        SetCheck(n, Check(n) == kCheckChecked ? kCheckUnchecked : kCheckChecked);
    } else {
        view_.Refresh();
    }
}

std::string FrmSet::ReadKey(const char* key, const char* defaultValue) {
    return profile_.Read(kSection, key, defaultValue);
}

bool FrmSet::WriteKeys(const std::vector<std::pair<const char*, std::string>>& values) {
    // All keys or none: a refusal part of the way puts back what the file held before.
    std::vector<std::optional<std::string>> before;
    for (const auto& [key, value] : values) {
        before.push_back(profile_.Value(kSection, key));
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (profile_.Write(kSection, values[i].first, values[i].second)) {
            continue;
        }
        for (std::size_t j = 0; j < i; ++j) {
            if (!before[j]) {
                profile_.Remove(kSection, values[j].first);
            } else {
                profile_.Write(kSection, values[j].first, *before[j]);
            }
        }
        return false;
    }
    return true;
}

bool FrmSet::MatchStored(SettingsList list, const Text& stored, Text& field) {
    const DropDownList& control = List(list);
    for (int i = 0; i < control.ListCount(); ++i) {
        const Text& entry = control.entries[static_cast<std::size_t>(i)];
        if (!entry.empty() && StartsWith(stored, entry)) {
            field = entry;
            SelectIndex(list, i);
            return true;
        }
    }
    return false;
}

bool FrmSet::MoveScannerPort(std::int32_t port) {
    EnsureLoaded();
    values_.Port = port;
    SelectScannerPort(port);
    view_.Refresh();
    return WriteKeys({{"Port", std::to_string(port)}});
}

void FrmSet::SelectScannerPort(std::int32_t port) {
    const Text wanted = u"COM" + ToDecimal(port);
    DropDownList& ports = Mutable(SettingsList::cbPort);
    int at = 0;
    for (; at < ports.ListCount(); ++at) {
        const Text& entry = ports.entries[static_cast<std::size_t>(at)];
        if (entry == wanted) {
            SelectIndex(SettingsList::cbPort, at);
            return;
        }
        if (entry > wanted) {
            break;
        }
    }
    ports.entries.insert(ports.entries.begin() + at, wanted);
    if (ports.ListIndex >= at) {
        ++ports.ListIndex;  // the selection stays on the entry it was on
    }
    SelectIndex(SettingsList::cbPort, at);
}

bool FrmSet::ReadSetting() {
    EnsureLoaded();
    const bool ok = ReadSettingSteps();
    view_.Refresh();
    return ok;
}

bool FrmSet::ReadSettingSteps() {
    // A greyed box ("2") is a device in use like a ticked one.
    Settings& v = values_;
    v.usePort2 = codec_.Decode(Prefix(ReadKey("UsePort2", "1"), 1));
    if (UseFlag(v.usePort2)) {
        int port2 = 0;
        if (!Digit(ReadKey("Port2", "1"), port2)) {
            return false;
        }
        v.Port2 = port2;
        const DropDownList& readerPorts = List(SettingsList::cbPort2);
        const Text usb = u"USB" + ToDecimal(port2);
        const Text com = u"COM" + ToDecimal(port2);
        int found = -1;
        for (int i = 0; i < readerPorts.ListCount() && found < 0; ++i) {
            const Text& entry = readerPorts.entries[static_cast<std::size_t>(i)];
            if (entry == usb || entry == com) {
                found = i;
            }
        }
        SelectIndex(SettingsList::cbPort2, found);
        const Text make = codec_.Decode(Prefix(ReadKey("CardReader", ""), kTextKeyBytes));
        MatchStored(SettingsList::cmCardModel, make, v.CardReaderModel);
    } else {
        frame2Enabled_ = false;
    }

    int check = 0;
    if (!CheckValue(v.usePort2, check)) {
        return false;
    }
    SetCheckValue(3, check);

    v.usePort1 = codec_.Decode(Prefix(ReadKey("UsePort1", "4"), 1));
    if (UseFlag(v.usePort1)) {
        std::int32_t port = 0;
        if (!ParseDecimal(ReadKey("Port", "4"), port)) {
            return false;  // empty, not decimal, or too large for the field
        }
        v.Port = port;
        SelectScannerPort(port);

        int index = 0;
        if (!Digit(ReadKey("BaudRate", "4"), index) ||
            index >= List(SettingsList::cbBaudRate).ListCount()) {
            return false;
        }
        ParseText(List(SettingsList::cbBaudRate).entries[static_cast<std::size_t>(index)],
                  v.BaudRate);
        SelectIndex(SettingsList::cbBaudRate, index);

        if (!Digit(ReadKey("Bits", "3"), index) ||
            index >= List(SettingsList::cbByteSize).ListCount()) {
            return false;
        }
        ParseText(List(SettingsList::cbByteSize).entries[static_cast<std::size_t>(index)],
                  v.ByteSize);
        SelectIndex(SettingsList::cbByteSize, index);

        if (!Digit(ReadKey("Parity", "0"), index) ||
            index >= List(SettingsList::cbParity).ListCount()) {
            return false;
        }
        v.Parity = index;
        SelectIndex(SettingsList::cbParity, index);

        if (!Digit(ReadKey("StopBits", "0"), index) ||
            index >= List(SettingsList::cbStopBits).ListCount()) {
            return false;
        }
        v.StopBits = index;
        SelectIndex(SettingsList::cbStopBits, index);

        const std::string addEnter = ReadKey("AddEnter", "");
        SetCheckValue(1, !addEnter.empty() && addEnter[0] == '0' ? kCheckUnchecked : kCheckChecked);
        v.AddEnter = Check(1) == kCheckChecked;

        const Text brand = codec_.Decode(Prefix(ReadKey("Scanner", ""), kTextKeyBytes));
        MatchStored(SettingsList::cbModel, brand, v.ScannerModel);
    } else {
        frame1Enabled_ = false;
    }

    if (!CheckValue(v.usePort1, check)) {
        return false;  // also a file without "UsePort1"
    }
    SetCheckValue(4, check);

    LoadAutoStart();
    return true;
}

void FrmSet::LoadAutoStart() {
    if (AutoStartRegistered()) {
        SetCheckValue(2, kCheckChecked);
    }
}

bool FrmSet::AutoStartRegistered() {
    const std::optional<Text> machine = RunValue(registry_);
    const std::optional<Text> user =
        autoStart_.user != nullptr ? RunValue(*autoStart_.user) : std::nullopt;
    return (machine && !machine->empty()) || (user && !user->empty());
}

std::optional<Text> FrmSet::RunValue(Registry& hive) {
    std::unique_ptr<RegistryKey> key = hive.CreateKey(kRunKey);
    if (!key) {
        return std::nullopt;
    }
    const std::optional<std::string> value = key->QueryValue(kRunValue);
    return value ? std::optional<Text>(codec_.Decode(*value)) : std::nullopt;
}

Text FrmSet::AutoStartCommand() const {
    Text path = exeFolder_;
    if (path.empty() || path.back() != u'\\') {
        path += u'\\';
    }
    path += exeBaseName_ + u".exe";
    // Unquoted, a path with a space would let Windows try to start "C:\Program.exe" first.
    if (path.find(u' ') != Text::npos) {
        path = u'"' + path + u'"';
    }
    return path;
}

void FrmSet::SaveAutoStart() {
    const bool wanted = Check(2) == kCheckChecked;
    const AutoStartEntries entries{RunValue(registry_), autoStart_.user != nullptr
                                                            ? RunValue(*autoStart_.user)
                                                            : std::nullopt};
    const AutoStartPlan plan =
        PlanAutoStart(autoStartShown_, wanted, autoStart_.protectedCopy || !autoStart_.user,
                      AutoStartCommand(), entries);
    bool done = true;
    for (const AutoStartStep step : plan.steps) {
        const bool machine =
            step == AutoStartStep::kSetMachine || step == AutoStartStep::kRemoveMachine;
        std::unique_ptr<RegistryKey> key =
            (machine ? registry_ : *autoStart_.user).CreateKey(kRunKey);
        const bool set = step == AutoStartStep::kSetMachine || step == AutoStartStep::kSetUser;
        done = done && key &&
               (set ? key->SetString(kRunValue, codec_.Encode(AutoStartCommand()))
                    : key->DeleteValue(kRunValue));
    }
    if (done && !plan.otherProgram) {
        return;
    }
    if (plan.otherProgram) {
        // Another folder's program would lose its start, or take this one's: IT decides.
        log_.WriteRefused(LogWord("Run entry names another folder"));
        view_.ShowMessage(kAutoStartOtherProgramMessage + *plan.otherProgram +
                          kAutoStartOtherProgramHint);
    } else {
        // A standard user may not change the machine's start-up entries: say so, and let the
        // box show the entry as it is.
        log_.WriteRefused(wanted ? LogWord("Run entry (set)") : LogWord("Run entry (removal)"));
        view_.ShowMessage(wanted ? kAutoStartNotSetMessage : kAutoStartNotRemovedMessage);
    }
    SetCheckValue(2, AutoStartRegistered() ? kCheckChecked : kCheckUnchecked);
}

// An adapter plugged in since the last showing can be chosen: the lists are those of the ports
// present now, each selection kept. The ports this program holds open are not free, so the
// selected ones stay listed, in both lists where they fit.
void FrmSet::RelistPorts() {
    const Text scanner = List(SettingsList::cbPort).SelectedText();
    const Text reader = List(SettingsList::cbPort2).SelectedText();
    for (const SettingsList list : {SettingsList::cbPort, SettingsList::cbPort2}) {
        Mutable(list).entries.clear();
        Mutable(list).ListIndex = -1;
    }
    GetAllPorts();
    // Inserted in number order among the entries of its kind (COM, USB); returns its index.
    const auto keep = [this](SettingsList list, const Text& wanted) {
        DropDownList& ports = Mutable(list);
        auto at = std::find(ports.entries.begin(), ports.entries.end(), wanted);
        if (at == ports.entries.end()) {
            at = ports.entries.begin();
            while (at != ports.entries.end() &&
                   (at->substr(0, 3) != wanted.substr(0, 3) || at->size() < wanted.size() ||
                    (at->size() == wanted.size() && *at < wanted))) {
                ++at;
            }
            at = ports.entries.insert(at, wanted);
        }
        return static_cast<int>(at - ports.entries.begin());
    };
    const auto isCom = [](const Text& t) { return t.substr(0, 3) == u"COM"; };
    const auto readerFits = [&](const Text& t) {
        return !isCom(t) || (t.size() == 4 && t[3] < u'0' + kFirstUsbPort);
    };
    if (!reader.empty() && isCom(reader)) {
        keep(SettingsList::cbPort, reader);
    }
    if (!scanner.empty()) {
        Mutable(SettingsList::cbPort).ListIndex = keep(SettingsList::cbPort, scanner);
        if (readerFits(scanner)) {
            keep(SettingsList::cbPort2, scanner);
        }
    }
    if (!reader.empty()) {
        Mutable(SettingsList::cbPort2).ListIndex = keep(SettingsList::cbPort2, reader);
    }
}

void FrmSet::Initialze(bool deviceFailed) {
    ModalResult = false;
    EnsureLoaded();
    RelistPorts();
    Changed(true);
    MustReopen = false;
    command1Enabled_ = deviceFailed;
    view_.Refresh();
}

bool FrmSet::ShowDialog(void* owner) {
    if (visible_) {
        return false;  // already showing: the running showing gives the result
    }
    EnsureLoaded();
    autoStartShown_ = Check(2) == kCheckChecked;
    visible_ = true;
    view_.Refresh();
    view_.ShowModal(owner);
    if (visible_) {
        OnTitleBarClose();  // the showing ended some other way (the program is quitting)
    }
    return ModalResult;
}

void FrmSet::HideDialog() {
    visible_ = false;
    view_.Hide();
}

void FrmSet::Command1_Click() {
    if (!command1Enabled_) {
        return;
    }
    const Text scannerPort = List(SettingsList::cbPort).SelectedText();
    const Text readerPort = List(SettingsList::cbPort2).SelectedText();
    if (scannerPort == readerPort && Check(4) != kCheckUnchecked && Check(3) != kCheckUnchecked) {
        view_.ShowMessage(kSamePortMessage);
        return;
    }
    // A device in use needs a port: without one its number could not be formed.
    if (Check(4) != kCheckUnchecked && List(SettingsList::cbPort).ListIndex < 0) {
        view_.ShowMessage(kNoScannerPortMessage);
        return;
    }
    if (Check(3) != kCheckUnchecked && List(SettingsList::cbPort2).ListIndex < 0) {
        view_.ShowMessage(kNoReaderPortMessage);
        return;
    }

    const auto index = [this](SettingsList list) { return std::to_string(List(list).ListIndex); };
    if (!WriteKeys({
            {"Scanner", codec_.Encode(List(SettingsList::cbModel).SelectedText())},
            {"Port", codec_.Encode(PortPart(scannerPort))},
            {"BaudRate", index(SettingsList::cbBaudRate)},
            {"Bits", index(SettingsList::cbByteSize)},
            {"Parity", index(SettingsList::cbParity)},
            {"StopBits", index(SettingsList::cbStopBits)},
            {"AddEnter", std::to_string(Check(1))},
            {"UsePort2", std::to_string(Check(3))},
            {"UsePort1", std::to_string(Check(4))},
            {"Port2", codec_.Encode(PortPart(readerPort))},
            {"CardReader", codec_.Encode(List(SettingsList::cmCardModel).SelectedText())},
        })) {
        // The dialog stays open with the user's choices; the model keeps what the file holds.
        log_.WriteRefused("Setting.ini");
        view_.ShowMessage(kNotSavedMessage);
        return;
    }

    Settings& v = values_;
    v.usePort2 = ToDecimal(Check(3));
    v.usePort1 = ToDecimal(Check(4));
    if (UseFlag(v.usePort1)) {
        ParseText(PortPart(scannerPort), v.Port);
    }
    if (UseFlag(v.usePort2)) {
        ParseText(PortPart(readerPort), v.Port2);
    }
    ParseText(List(SettingsList::cbBaudRate).SelectedText(), v.BaudRate);
    ParseText(List(SettingsList::cbByteSize).SelectedText(), v.ByteSize);
    v.StopBits = List(SettingsList::cbStopBits).ListIndex;
    v.Parity = List(SettingsList::cbParity).ListIndex;
    v.AddEnter = Check(1) == kCheckChecked;
    v.ScannerModel = List(SettingsList::cbModel).SelectedText();
    v.CardReaderModel = List(SettingsList::cmCardModel).SelectedText();

    SaveAutoStart();
    ModalResult = true;
    HideDialog();
}

void FrmSet::Command2_Click() {
    ModalResult = false;
    HideDialog();
}

void FrmSet::OnTitleBarClose() {
    Command2_Click();
}

}  // namespace ordane
