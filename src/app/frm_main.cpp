#include "app/frm_main.h"

#include <string>

#include "app/status_texts.h"

namespace ordane {

FrmMain::FrmMain(const FrmMainDeps& deps)
    : deps_(deps),
      timers_(deps.timers),
      lines_(deps.view, deps.tray, deps.pump, deps.readings),
      registration_(deps.registry, deps.Http1, deps.log),
      router_(ReadingRouterDeps{deps.delivery, deps.codec, deps.frmSet, deps.pump, deps.log, lines_,
                                deps.readings, deps.scan.encoding, deps.typingWorker,
                                deps.scan.keyDelayMs, deps.scan.groupSeparator}),
      scanner_(ScannerDeps{lines_, deps.pump, timers_, deps.frmSet, deps.scanner,
                           deps.scannerIdentification, deps.log, router_, deps.scan.terminator}),
      cardReader_(CardReaderDeps{deps.view, lines_, deps.pump, deps.cardWorker, deps.sdtapi,
                                 deps.cardReaderIdentification, deps.frmSet, deps.codec, deps.log,
                                 router_, registration_}) {}

bool FrmMain::CommandEnabled(int label) const {
    return label >= static_cast<int>(Command::Hide) && label <= static_cast<int>(Command::Exit) &&
           lines_.CommandEnabled(static_cast<Command>(label));
}

// The start-up sequence: any failure leaves its text on the status lines and both timers
// stopped; only a confirmed settings dialog starts them again.
void FrmMain::Form_Load() {
    deps_.tray.AddTrayIcon();
    deps_.tray.SetTrayTip(u"Ordane");
    // An empty file is what the installer leaves, writable, for the first OK to fill; a silent
    // installation or IT may have put the browser bridge's or the scanner's options in it, but
    // never device settings.
    ProfileFile& file = deps_.settingsFile;
    const std::string absent = "<absent>";  // no value of these keys looks like this
    const bool present = [&] {
        for (const auto& [section, key] :
             {std::pair{"BRIDGE", "Enabled"}, std::pair{"SCAN", "Terminator"},
              std::pair{"SCAN", "KeyDelay"}, std::pair{"SCAN", "Encoding"}}) {
            if (file.Read(section, key, absent) != absent) {
                return true;
            }
        }
        return false;
    }();
    const bool onlyOptions = file.Read("BCINFO", "UsePort1", absent) == absent && present;
    if (!file.Exists() || file.Empty() || onlyOptions) {
        deps_.log.SettingsNotRead(file.Exists() ? LogWord("Setting.ini empty")
                                                : LogWord("Setting.ini missing"));
        lines_.Show(StatusLine::Scanner, status::kFirstUse);
        return;
    }
    FrmSet& frmSet = deps_.frmSet;
    frmSet.EnsureLoaded();
    if (!frmSet.ReadSetting()) {
        deps_.log.SettingsNotRead("Setting.ini damaged");
        lines_.Show(StatusLine::Scanner, status::kSettingsDamaged);
        return;
    }
    deps_.log.SettingsRead(ForLog(frmSet));
    lines_.ClearAll();
    const bool useScanner = UseFlag(frmSet.usePort1);
    const bool useReader = UseFlag(frmSet.usePort2);
    if (useScanner && !scanner_.Open()) {
        return;
    }
    if (useReader && !cardReader_.StartAtLoad()) {
        return;
    }
    if (useScanner) {
        timers_.timer1.SetEnabled(true);
    }
    if (useReader) {
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
    if (id == kTimer1Id && timers_.timer1.Enabled()) {
        Timer1_Timer();
    } else if (id == kTimer2Id && timers_.timer2.Enabled()) {
        Timer2_Timer();
    }
}

void FrmMain::Timer1_Timer() {
    lines_.ShowPendingFailure();
    router_.TypeHeld();
    scanner_.Tick();
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

void FrmMain::OnTyped() {
    if (!unloaded_) {
        router_.TypeHeld();
    }
}

void FrmMain::Timer2_Timer() {
    if (!cardReader_.ReaderOpen) {
        return;
    }
    if (!cardReader_.ReaderStarted) {
        StartCardReader();
    }
    router_.CheckLateWindowText();  // card records go as window text too
    cardReader_.Poll();
}

void FrmMain::StartCardReader() {
    const LoopTimers::Noted noted = timers_.Stop();
    lines_.SetCommandsEnabled(false);
    if (UseFlag(deps_.frmSet.usePort2)) {
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
    switch (static_cast<Command>(label)) {
        case Command::Hide:
            lines_.HideToTray();
            break;
        case Command::Settings:
            Label5_Click();
            break;
        case Command::Exit:
            Label6_Click();
            break;
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
    cardReader_.CloseCardReaderPort();
    deps_.view.UnloadAll();
}

// The Settings command: the only way back from a device failure without a restart.
void FrmMain::Label5_Click() {
    FrmSet& frmSet = deps_.frmSet;
    frmSet.Initialze(DeviceFailed());
    frmSet.ShowDialog(deps_.view.OwnerHandle());
    if (!frmSet.ModalResult) {
        return;
    }
    ApplySettings(frmSet.MustReopen ? LogWord("confirmed, devices reopened")
                                    : LogWord("confirmed"));
}

// The open dialog is left alone: its OK applies what it shows, the policy's values greyed.
// Group policy rewrites its values at every refresh: the devices are opened again only when a
// device setting changed (the list and box handlers say so as the values are read).
void FrmMain::OnPolicyChanged() {
    FrmSet& frmSet = deps_.frmSet;
    frmSet.MustReopen = false;
    if (frmSet.Visible() || !frmSet.ReadSetting()) {
        deps_.log.Event("settings", frmSet.Visible() ? LogWord("policy changed, dialog open")
                                                     : LogWord("policy changed, not read"));
        return;
    }
    if (!frmSet.MustReopen) {
        deps_.log.Event("settings", "policy read again, no device setting changed");
        return;
    }
    deps_.log.SettingsRead(ForLog(frmSet));
    ApplySettings("policy changed, devices reopened");
    frmSet.MustReopen = false;
}

void FrmMain::ApplySettings(LogWord how) {
    FrmSet& frmSet = deps_.frmSet;
    scanner_.Rearm();
    cardReader_.ReaderStarted = false;
    deps_.log.Event("settings", how, DeviceFailed() ? 1 : 0);
    // A device that failed is opened again even when no setting changed: that is what a
    // user confirming the dialog after plugging it in expects.
    if (!frmSet.MustReopen && !DeviceFailed()) {
        return;
    }
    lines_.ClearAll();
    const bool useScanner = UseFlag(frmSet.usePort1);
    const bool useReader = UseFlag(frmSet.usePort2);
    if (useScanner && !scanner_.ReopenAfterSettings()) {
        return;
    }
    if (useReader) {
        timers_.timer1.SetEnabled(false);
        if (!cardReader_.Reopen()) {
            return;
        }
    }
    if (useScanner) {
        timers_.timer1.SetEnabled(true);
    }
    if (useReader) {
        timers_.timer2.SetEnabled(true);
    }
}

bool FrmMain::DeviceFailed() const {
    const FrmSet& frmSet = deps_.frmSet;
    const bool scannerFailed =
        UseFlag(frmSet.usePort1) &&
        (scanner_.LostOrSilent() || !scanner_.ScannerOpen() || !timers_.timer1.Enabled());
    const bool readerFailed =
        UseFlag(frmSet.usePort2) &&
        (!cardReader_.ReaderOpen || cardReader_.Failed() || !timers_.timer2.Enabled());
    return scannerFailed || readerFailed;
}

void FrmMain::Form_KeyDown(int keyCode, int /*shift*/) {
    if (keyCode == kKeyF9 && !cardReader_.SamId.empty()) {
        registration_.UploadInfo(cardReader_.SamId, "F9");
    }
}

}  // namespace ordane
