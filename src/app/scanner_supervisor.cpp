#include "app/scanner_supervisor.h"

#include <vector>

#include "app/status_texts.h"
#include "common/delay.h"

namespace ordane {

void ScannerSupervisor::SetPhase(ScannerPhase phase) {
    phase_ = phase;
    DeviceState state = DeviceState::Identifying;
    switch (phase) {
        case ScannerPhase::Closed:
            state = DeviceState::Off;
            break;
        case ScannerPhase::Running:
            state = DeviceState::Ready;
            break;
        case ScannerPhase::Lost:
        case ScannerPhase::Silent:
            state = DeviceState::Failed;
            break;
        case ScannerPhase::Identifying:
        case ScannerPhase::Reopened:
        case ScannerPhase::ReopenedSilent:
            break;
    }
    deps_.lines.SetState(StatusLine::Scanner, state);
}

bool ScannerSupervisor::ScannerOpen() const {
    return phase_ == ScannerPhase::Identifying || phase_ == ScannerPhase::Running ||
           phase_ == ScannerPhase::Reopened || phase_ == ScannerPhase::ReopenedSilent;
}

bool ScannerSupervisor::LostOrSilent() const {
    return phase_ == ScannerPhase::Lost || phase_ == ScannerPhase::Silent;
}

void ScannerSupervisor::SetScannerState(std::int32_t state) {
    ScannerState = state;
    deps_.lines.Show(StatusLine::Scanner, state == 1   ? status::kScannerReading
                                          : state == 2 ? status::kScannerInitialising
                                                       : status::kScannerWaiting);
}

bool ScannerSupervisor::OpenScanner() {
    const Settings& settings = deps_.settings;
    const PortOpening open = deps_.channel.OpenScannerPort(settings.Port, ScannerLine(settings));
    deps_.log.Opened(LogDevice::Scanner, settings.Port, open.code);
    return open.opened;
}

void ScannerSupervisor::Close() {
    deps_.log.Closed(LogDevice::Scanner, deps_.settings.Port, deps_.channel.CloseScannerPort());
    TellLosses();
}

void ScannerSupervisor::TellLosses() {
    std::vector<LogWord> losses;
    deps_.channel.TakeScannerLosses(losses);
    for (const LogWord why : losses) {
        deps_.router.Dropped(0, why);
    }
}

bool ScannerSupervisor::Open() {
    SetScannerState(2);
    if (!OpenScanner()) {
        deps_.lines.Show(StatusLine::Scanner, status::kScannerPortFailed);
        deps_.lines.Show(StatusLine::ScannerNotice, status::kCheckSettingsHint);
        deps_.lines.SetFailing(StatusLine::Scanner, true);
        deps_.lines.SetState(StatusLine::Scanner, DeviceState::Failed);
        return false;
    }
    SetPhase(ScannerPhase::Identifying);
    return true;
}

void ScannerSupervisor::FollowLostPort() {
    if (phase_ != ScannerPhase::Lost) {
        NotePresentPorts();
        ReopenLater(ScannerPhase::Lost);
    }
}

void ScannerSupervisor::Rearm() {
    if (phase_ == ScannerPhase::Running) {
        // What arrived before the identification empties the port is still read, and a reading
        // under way ends here rather than being lost with it.
        Collect(true);
        SetPhase(ScannerPhase::Identifying);
    }
}

bool ScannerSupervisor::ReopenAfterSettings() {
    // A lost scanner that still cannot be opened is looked for again with the new settings.
    const bool wasLost = LostOrSilent();
    Close();
    collector_.Drop();
    SetPhase(ScannerPhase::Closed);
    deps_.timers.timer1.SetEnabled(false);
    deps_.lines.Show(StatusLine::ScannerNotice, Text());
    if (!OpenScanner()) {
        deps_.lines.Show(StatusLine::Scanner, status::kScannerPortFailed);
        deps_.lines.Show(StatusLine::ScannerNotice, status::kCheckSettingsHint);
        if (wasLost) {
            ReopenLater(ScannerPhase::Lost);
        }
        return false;
    }
    SetPhase(ScannerPhase::Identifying);
    return true;
}

void ScannerSupervisor::Tick() {
    switch (phase_) {
        case ScannerPhase::Closed:
            return;
        case ScannerPhase::Lost:
        case ScannerPhase::Silent:
            ReopenLostScanner();
            return;
        case ScannerPhase::Identifying:
        case ScannerPhase::Reopened:
        case ScannerPhase::ReopenedSilent:
            // After a failed identification its texts stand, and nothing the scanner sent
            // during or after the exchange is taken for a scan.
            if (!DetectScanner()) {
                return;
            }
            break;
        case ScannerPhase::Running:
            break;
    }
    Collect();
}

void ScannerSupervisor::TerminatorArrived() {
    if (phase_ == ScannerPhase::Running && deps_.timers.timer1.Enabled() && !collecting_) {
        Collect();
    }
}

void ScannerSupervisor::Collect(bool closing) {
    collecting_ = true;
    std::vector<ArrivedBytes> pieces;
    const bool gone = deps_.channel.TakeScannerArrived(pieces) == PortPresence::Gone;
    std::vector<CollectedReading> finished;
    for (const ArrivedBytes& piece : pieces) {
        collector_.Add(piece, finished);
    }
    const std::uint32_t now = deps_.pump.TickCount();
    collector_.Finish(now, deps_.channel.ScannerLineSeenAt(now), finished);
    std::size_t unfinished = 0;
    if ((gone || closing) && collector_.Collecting()) {
        // The port went away, or is reopened, in the middle of a reading: what came of it is
        // only its beginning.
        unfinished = collector_.Drop();
    }
    if (collector_.Collecting() && ScannerState != 1) {
        SetScannerState(1);
    }
    for (const CollectedReading& reading : finished) {
        deps_.router.Scan(reading);
    }
    TellLosses();
    if (unfinished > 0) {
        deps_.router.Dropped(unfinished, gone ? LogWord("port lost mid-reading")
                                              : LogWord("port reopened mid-reading"));
    }
    if (!collector_.Collecting() && ScannerState == 1) {
        SetScannerState(0);
    }
    collecting_ = false;
    if (gone && !closing) {
        ScannerLost();
    }
}

void ScannerSupervisor::FinishAtExit() {
    if (phase_ != ScannerPhase::Running) {
        return;
    }
    // A reading under way gets its quiet time to finish; what arrives after is not read.
    MessagePump& pump = deps_.pump;
    const std::uint32_t until = pump.TickCount() + ScanCollector::kQuietMs + 100;
    std::vector<CollectedReading> finished;
    for (;;) {
        std::vector<ArrivedBytes> pieces;
        const PortPresence presence = deps_.channel.TakeScannerArrived(pieces);
        for (const ArrivedBytes& piece : pieces) {
            collector_.Add(piece, finished);
        }
        if (presence == PortPresence::Gone) {
            collector_.FinishNow(finished);
        }
        const std::uint32_t now = pump.TickCount();
        collector_.Finish(now, deps_.channel.ScannerLineSeenAt(now), finished);
        if (!collector_.Collecting() || static_cast<std::int32_t>(pump.TickCount() - until) >= 0) {
            break;
        }
        pump.Sleep(50);
    }
    for (const CollectedReading& reading : finished) {
        deps_.router.Scan(reading);
    }
    if (collector_.Collecting()) {
        deps_.log.ReadingDropped(collector_.Drop(), "unfinished at exit");
    }
}

void ScannerSupervisor::ScannerLost() {
    deps_.log.Event("scanner", "port lost");
    Close();
    NotePresentPorts();
    ReopenLater(ScannerPhase::Lost);
    deps_.lines.Show(StatusLine::Scanner, status::kScannerPortFailed);
    deps_.lines.Show(StatusLine::ScannerNotice, status::kCheckSettingsHint);
    deps_.lines.SetFailing(StatusLine::Scanner, true);
    deps_.lines.ShowFailure();
}

void ScannerSupervisor::ReopenLater(ScannerPhase phase) {
    SetPhase(phase);
    lastReopenAt_ = deps_.pump.TickCount();
    deps_.timers.timer1.SetEnabled(true);
}

// The adapter may come back: the same port is tried again now and then, and once it opens
// the scanner is identified again as after a confirmed settings dialog.
void ScannerSupervisor::ReopenLostScanner() {
    if (static_cast<std::uint32_t>(deps_.pump.TickCount() - lastReopenAt_) < kReopenIntervalMs) {
        return;
    }
    lastReopenAt_ = deps_.pump.TickCount();
    const Settings& settings = deps_.settings;
    const PortOpening open = deps_.channel.OpenScannerPort(settings.Port, ScannerLine(settings));
    deps_.log.ReopenAttempt(LogDevice::Scanner, settings.Port, open.code);
    if (!open.opened) {
        if (phase_ == ScannerPhase::Lost) {
            LookOnNewPorts();
        }
        return;
    }
    collector_.Drop();
    SetPhase(phase_ == ScannerPhase::Silent ? ScannerPhase::ReopenedSilent
                                            : ScannerPhase::Reopened);
    deps_.lines.Show(StatusLine::ScannerNotice, Text());
}

// The card reader's own port is never opened here: the library may be using it.
void ScannerSupervisor::NotePresentPorts() {
    const Settings& settings = deps_.settings;
    present_.clear();
    for (std::int32_t n : PortsToTry(deps_.probe)) {
        if (UseFlag(settings.usePort2) && n == settings.Port2) {
            continue;
        }
        if (deps_.probe.CanOpen(n)) {
            present_.insert(n);
        }
    }
}

// The scanner's adapter may come back on another socket as another COM port. A port that was
// not there when the scanner was lost is asked once, with the configured brand's query only;
// one that answers nothing, or as another brand, is closed at once and not asked again. Ports
// that were there are never opened again meanwhile (another program's device is not touched).
// The card reader's port is never asked.
void ScannerSupervisor::LookOnNewPorts() {
    const Settings& settings = deps_.settings;
    for (std::int32_t n : PortsToTry(deps_.probe)) {
        if (present_.count(n) != 0 || n == settings.Port ||
            (UseFlag(settings.usePort2) && n == settings.Port2) || !deps_.probe.CanOpen(n)) {
            continue;
        }
        present_.insert(n);
        const PortOpening open = deps_.channel.OpenScannerPort(n, ScannerLine(settings));
        deps_.log.Opened(LogDevice::Scanner, n, open.code);
        if (!open.opened) {
            continue;
        }
        // The settings are not touched: a dialog open meanwhile may confirm another port.
        candidate_ = n;
        SetPhase(ScannerPhase::Reopened);
        DetectScanner();
        candidate_ = 0;
        if (phase_ == ScannerPhase::Running) {
            return;
        }
    }
}

bool ScannerSupervisor::DetectScanner() {
    StatusLines& lines = deps_.lines;
    const LoopTimers::Noted noted = deps_.timers.Stop();
    // The first identification holds the commands; one asked again by itself (after a replug,
    // or a scanner that did not answer yet) leaves them usable, a click then waiting for it.
    const bool foreground = phase_ == ScannerPhase::Identifying;
    const auto release = [&lines, foreground] {
        if (foreground) {
            lines.SetCommandsEnabled(true);
        }
    };
    if (foreground) {
        lines.SetCommandsEnabled(false);
    }
    const Settings& settings = deps_.settings;
    if (UseFlag(settings.usePort1)) {
        lines.Show(StatusLine::Scanner, status::kScannerDetecting);
        const bool found = deps_.identification.CheckScanner(settings.ScannerModel);
        deps_.log.Identified(LogDevice::Scanner, settings.ScannerModel,
                             deps_.identification.ScannerXH, found);
        if (!found && candidate_ != 0) {
            // Not this program's scanner: left alone, and the scanner is still lost.
            deps_.timers.Restore(noted);
            deps_.channel.CloseScannerPort();
            deps_.log.Closed(LogDevice::Scanner, candidate_, 0);
            SetPhase(ScannerPhase::Lost);
            lines.Show(StatusLine::Scanner, status::kScannerPortFailed);
            lines.Show(StatusLine::ScannerNotice, status::kCheckSettingsHint);
            release();
            return false;
        }
        if (found && candidate_ != 0) {
            const bool written = deps_.followPort(candidate_);  // logged with its port
            deps_.log.Event("scanner",
                            written ? LogWord("found on another port, Setting.ini Port written")
                                    : LogWord("found on another port, Setting.ini not written"),
                            candidate_);
            lines.Show(StatusLine::ScannerNotice,
                       status::kScannerMovedPrefix + ToDecimal(candidate_));
        }
        if (!found) {
            lines.Show(StatusLine::Scanner, status::kScannerNotDetected);
            lines.Show(StatusLine::ScannerNotice, status::kCheckSettingsHint);
            lines.SetFailing(StatusLine::Scanner, true);
            // Still powering up, or its cable not yet on the adapter (at start, after a dialog,
            // after a replug): the card reader goes on, and the scanner is asked again on a
            // fresh port every 2 s. Silent is a failed state for the pages.
            const bool shownBefore = phase_ == ScannerPhase::ReopenedSilent;
            deps_.timers.Restore(noted);
            deps_.channel.CloseScannerPort();
            ReopenLater(ScannerPhase::Silent);
            if (!shownBefore) {
                lines.ShowFailure();
            }
            release();
            return false;
        }
        // The answers to the identification queries are not a scan. Everything after them
        // is: once the status says the scanner was found, its readings are delivered.
        deps_.channel.ClearScannerRXBuff();
        collector_.Drop();
        lines.Show(StatusLine::Scanner,
                   status::kDetectedPrefix + settings.ScannerModel + status::kDetectedSuffix);
        Delay(deps_.pump, 2);
        lines.Show(StatusLine::ScannerDevice, status::kDevicePrefix + settings.ScannerModel);
        lines.Show(StatusLine::ScannerModel, status::kModelPrefix + deps_.identification.ScannerXH);
        Delay(deps_.pump, 2);
        deps_.timers.Restore(noted);
    }
    SetScannerState(0);
    SetPhase(ScannerPhase::Running);
    lines.SetFailing(StatusLine::Scanner, false);
    lines.HideToTray();
    release();
    return true;
}

}  // namespace ordane
