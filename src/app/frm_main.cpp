#include "app/frm_main.h"

#include <functional>
#include <string>
#include <utility>

#include "app/status_texts.h"

namespace ordane {

FrmMain::FrmMain(const FrmMainDeps& deps)
    : deps_(deps),
      timers_(deps.timers),
      lines_(deps.view, deps.tray, deps.pump, deps.readings),
      registration_(deps.registry, deps.Http1, deps.log, deps.registrationWorker),
      router_(ReadingRouterDeps{deps.delivery, deps.codec, deps.settings, deps.pump, deps.log,
                                lines_, deps.readings, deps.scan.encoding, deps.typingWorker,
                                deps.scan.keyDelayMs, deps.scan.groupSeparator}),
      scanner_(ScannerDeps{lines_, deps.pump, timers_, deps.settings, deps.probe,
                           [this](std::int32_t port) { return FollowScannerPort(port); },
                           deps.scanner, deps.scannerIdentification, deps.log, router_,
                           deps.scan.terminator}),
      cardReader_(CardReaderDeps{deps.view, lines_, deps.pump, deps.cardWorker, deps.sdtapi,
                                 deps.cardReaderIdentification, deps.settings, deps.codec, deps.log,
                                 router_, registration_}) {}

bool FrmMain::CommandEnabled(int label) const {
    return label >= static_cast<int>(Command::Hide) && label <= static_cast<int>(Command::Exit) &&
           lines_.CommandEnabled(static_cast<Command>(label));
}

// The start-up sequence. Each device in use is started on its own: one that fails shows its
// texts and is tried again by itself (the scanner's port every 2 s, followed to a new port as
// after an unplug; the card reader every few seconds) while the other one works.
void FrmMain::Form_Load() {
    deps_.tray.AddTrayIcon();
    deps_.tray.SetTrayTip(u"Ordane");
    // An empty file is what the installer leaves, writable, for the first OK to fill; a silent
    // installation or IT may have put the browser bridge's or the scanner's options in it, but
    // never device settings.
    ProfileFile& file = deps_.settingsFile;
    const bool present = [&] {
        for (const auto& [section, key] :
             {std::pair{"BRIDGE", "Enabled"}, std::pair{"SCAN", "Terminator"},
              std::pair{"SCAN", "KeyDelay"}, std::pair{"SCAN", "Encoding"}}) {
            if (file.Value(section, key)) {
                return true;
            }
        }
        return false;
    }();
    const bool onlyOptions = !file.Value("BCINFO", "UsePort1") && present;
    if (!file.Exists() || file.Empty() || onlyOptions) {
        deps_.log.SettingsNotRead(file.Exists() ? LogWord("Setting.ini empty")
                                                : LogWord("Setting.ini missing"));
        lines_.Show(StatusLine::Scanner, status::kFirstUse);
        lines_.SetState(StatusLine::Scanner, DeviceState::NotSetUp);
        return;
    }
    FrmSet& frmSet = deps_.frmSet;
    frmSet.EnsureLoaded();
    if (!frmSet.ReadSetting()) {
        deps_.log.SettingsNotRead("Setting.ini damaged");
        lines_.Show(StatusLine::Scanner, status::kSettingsDamaged);
        lines_.SetState(StatusLine::Scanner, DeviceState::NotSetUp);
        return;
    }
    deps_.settings = frmSet.Values();
    deps_.log.SettingsRead(ForLog(deps_.settings));
    lines_.ClearAll();
    if (UseFlag(deps_.settings.usePort1)) {
        if (!scanner_.Open()) {
            scanner_.FollowLostPort();
        }
        timers_.timer1.SetEnabled(true);
    }
    // The library and the identification run on the first Timer2 tick, after the window is
    // shown: a library that hangs there cannot keep the window, the tray or the scanner.
    if (UseFlag(deps_.settings.usePort2)) {
        cardReader_.BeginStart(ReaderStart::AtLoad);
        timers_.timer2.SetEnabled(true);
    }
}

void FrmMain::Form_Unload() {
    if (unloaded_) {
        return;
    }
    unloaded_ = true;
    // A reading under way is finished and delivered where it belongs, or not at all; one
    // waiting for the focus to leave this program's windows is not typed any more.
    scanner_.FinishAtExit();
    router_.DropHeld();
    scanner_.Close();
    deps_.tray.RemoveTrayIcon();
}

void FrmMain::OnTimer(int id) {
    if (closePending_ && CommandEnabled(static_cast<int>(Command::Exit))) {
        closePending_ = false;
        Label6_Click();
        return;
    }
    if (id == kScannerTimerId && timers_.timer1.Enabled()) {
        Timer1_Timer();
    } else if (id == kCardReaderTimerId && timers_.timer2.Enabled()) {
        Timer2_Timer();
    }
}

void FrmMain::Timer1_Timer() {
    lines_.ShowPendingFailure();
    router_.TypeHeld();
    // The scanner is identified after the card reader's first start, as it always was.
    if (!cardReader_.FirstStartPending() || !UseFlag(deps_.settings.usePort2)) {
        // An identification asked again by itself leaves the commands usable: one clicked
        // meanwhile runs once its waits are over.
        holding_ = true;
        scanner_.Tick();
        holding_ = false;
        RunDeferredCommand();
    }
}

void FrmMain::OnCardRead() {
    if (!unloaded_) {
        cardReader_.Collect();
    }
}

void FrmMain::OnScanTerminated() {
    if (!unloaded_) {
        scanner_.TerminatorArrived();
    }
}

void FrmMain::OnRegistered() {
    if (!unloaded_) {
        registration_.Collect();
    }
}

void FrmMain::OnTyped() {
    if (!unloaded_) {
        router_.TypeHeld();
    }
}

void FrmMain::Timer2_Timer() {
    if (cardReader_.StartDue()) {
        // The commands stay as they are: one clicked during the start's waits runs once they
        // are over, never inside them.
        HoldWhile([this] { cardReader_.Start(); });
    }
    if (cardReader_.ReaderOpen && !cardReader_.ReaderStarted) {
        StartCardReader();
    }
    router_.CheckLateWindowText();  // card records go as window text too
    cardReader_.Poll();
}

void FrmMain::HoldWhile(const std::function<void()>& waits) {
    const LoopTimers::Noted noted = timers_.Stop();
    holding_ = true;
    waits();
    holding_ = false;
    if (unloaded_) {
        return;
    }
    timers_.Restore(noted);
    RunDeferredCommand();
}

void FrmMain::RunDeferredCommand() {
    if (deferredCommand_ != 0 && !unloaded_) {
        const int label = std::exchange(deferredCommand_, 0);
        OnCommandClick(label);
    }
}

void FrmMain::StartCardReader() {
    const LoopTimers::Noted noted = timers_.Stop();
    lines_.SetCommandsEnabled(false);
    if (UseFlag(deps_.settings.usePort2)) {
        lines_.Show(StatusLine::Reader, status::kReaderConnecting);
    }
    lines_.Show(StatusLine::Reader, status::kReaderReady);
    timers_.Restore(noted);
    cardReader_.ReaderStarted = true;
    lines_.HideToTray();
    lines_.SetCommandsEnabled(true);
}

void FrmMain::OnCommandClick(int label) {
    if (!CommandEnabled(label)) {
        return;
    }
    if (holding_) {
        deferredCommand_ = label;
        return;
    }
    switch (static_cast<Command>(label)) {
        case Command::Hide:
            lines_.HideToTray(true);
            break;
        case Command::Settings:
            Label5_Click();
            break;
        case Command::Exit:
            Label6_Click();
            break;
    }
}

void FrmMain::OnTrayClick() {
    if (!deps_.view.IsWindowVisible()) {
        deps_.view.ShowWindow(Activation::Activate);
    }
}

void FrmMain::OnCloseRequested() {
    const int exit = static_cast<int>(Command::Exit);
    if (!CommandEnabled(exit)) {
        // A device start-up pumps messages inside its waits: ending under it is not safe.
        closePending_ = true;
        return;
    }
    OnCommandClick(exit);
}

void FrmMain::OnSessionEnding() {
    if (!unloaded_) {
        Label6_Click();
    }
}

void FrmMain::Label6_Click() {
    // The program ends within a second whatever the library does.
    lines_.SetCommandsEnabled(false);
    timers_.Stop();
    cardReader_.CloseCardReaderPort(CardReaderSupervisor::kExitCloseMs);
    deps_.view.UnloadAll();
}

// The Settings command: a failed device is reopened at once, without waiting for its own
// retry. The commands and the loops stay held through every wait of the reopen.
void FrmMain::Label5_Click() {
    FrmSet& frmSet = deps_.frmSet;
    frmSet.Initialze(DeviceFailed());
    frmSet.ShowDialog(deps_.view.OwnerHandle());  // modal: the window takes no click meanwhile
    if (!frmSet.ModalResult) {
        return;
    }
    deps_.settings = frmSet.Values();  // the dialog's copy, handed back
    ApplySettings(frmSet.MustReopen, frmSet.MustReopen ? LogWord("confirmed, devices reopened")
                                                       : LogWord("confirmed"));
}

bool FrmMain::FollowScannerPort(std::int32_t port) {
    deps_.settings.Port = port;
    return deps_.frmSet.MoveScannerPort(port);
}

// The open dialog is left alone: its OK applies what it shows, the policy's values greyed.
// Group policy rewrites its values at every refresh: the devices are opened again only when a
// setting that concerns them changed.
void FrmMain::OnPolicyChanged() {
    FrmSet& frmSet = deps_.frmSet;
    if (frmSet.Visible() || !frmSet.ReadSetting()) {
        deps_.log.Event("settings", frmSet.Visible() ? LogWord("policy changed, dialog open")
                                                     : LogWord("policy changed, not read"));
        return;
    }
    const Settings read = frmSet.Values();
    const bool devicesChanged = !SameDevices(read, deps_.settings);
    deps_.settings = read;
    if (!devicesChanged) {
        deps_.log.Event("settings", "policy read again, no device setting changed");
        return;
    }
    deps_.log.SettingsRead(ForLog(read));
    ApplySettings(true, "policy changed, devices reopened");
}

void FrmMain::ApplySettings(bool devicesChanged, LogWord how) {
    const Settings& settings = deps_.settings;
    scanner_.Rearm();
    cardReader_.ReaderStarted = false;
    const bool failed = DeviceFailed();
    deps_.log.Event("settings", how, failed ? 1 : 0);
    // A device that failed is opened again even when no setting changed: that is what a
    // user confirming the dialog after plugging it in expects.
    if (!devicesChanged && !failed) {
        return;
    }
    lines_.SetCommandsEnabled(false);
    const LoopTimers::Noted noted = timers_.Stop();
    lines_.ClearAll();
    const bool useScanner = UseFlag(settings.usePort1);
    const bool useReader = UseFlag(settings.usePort2);
    if (useScanner && !scanner_.ReopenAfterSettings()) {
        scanner_.FollowLostPort();
    }
    if (useReader) {
        cardReader_.BeginStart(ReaderStart::AfterSettings);
        cardReader_.Start();
    }
    if (unloaded_) {
        return;
    }
    // A device switched off keeps the loop it had (its port stays as it was).
    timers_.timer1.SetEnabled(useScanner || (!useReader && noted.timer1));
    timers_.timer2.SetEnabled(useReader || noted.timer2);
    lines_.SetCommandsEnabled(true);
}

bool FrmMain::DeviceFailed() const {
    const Settings& settings = deps_.settings;
    const bool scannerFailed =
        UseFlag(settings.usePort1) &&
        (scanner_.LostOrSilent() || !scanner_.ScannerOpen() || !timers_.timer1.Enabled());
    const bool readerFailed =
        UseFlag(settings.usePort2) &&
        (cardReader_.Phase() != ReaderPhase::Running || !timers_.timer2.Enabled());
    return scannerFailed || readerFailed;
}

void FrmMain::Form_KeyDown(int keyCode, int /*shift*/) {
    if (keyCode == kKeyF9 && !cardReader_.SamId.empty()) {
        registration_.UploadInfo(cardReader_.SamId, "F9");
    }
}

}  // namespace ordane
