// The scanner through its whole life: opened, identified, read, lost when its adapter is
// unplugged, reopened and identified again by itself. One phase says where it stands.
//
// Each Timer1 tick takes what arrived on the port; ScanCollector cuts it into readings by the
// arrival stamps, and ReadingRouter delivers each. Nothing here waits for the line.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "app/loop_timers.h"
#include "app/reading_router.h"
#include "app/scan_collector.h"
#include "app/status_lines.h"
#include "common/pump.h"
#include "devices/scanner_channel.h"
#include "devices/scanner_identification.h"
#include "log/diagnostic_log.h"
#include "devices/port_probe.h"
#include "settings/settings_model.h"

namespace ordane {

enum class ScannerPhase {
    Closed,          // not open: not in use, or its port failed to open (texts stand)
    Identifying,     // open; identified on the next tick (start-up, a confirmed dialog)
    Running,         // identified: readings are delivered
    Lost,            // its port went away; reopened every 2 s
    Reopened,        // reopened by itself; identified on the next tick
    Silent,          // reopened, but it did not answer: closed, and reopened every 2 s
    ReopenedSilent,  // reopened again after it was silent
};

struct ScannerDeps {
    StatusLines& lines;
    MessagePump& pump;
    LoopTimers& timers;
    const Settings& settings;  // in force
    PortProbe& probe;
    // The scanner answered on another port: the settings in force, the dialog's copy and
    // Setting.ini take it. False when the file refused the write.
    std::function<bool(std::int32_t port)> followPort;
    ScannerChannel& channel;
    ScannerIdentification& identification;
    DiagnosticLog& log;
    ReadingRouter& router;
    // What the scanner ends each reading with ([SCAN] Terminator); empty: none.
    std::string terminator;
};

class ScannerSupervisor {
  public:
    // How often a scanner port that went away is tried again.
    static constexpr std::uint32_t kReopenIntervalMs = 2000;

    explicit ScannerSupervisor(const ScannerDeps& deps)
        : deps_(deps), collector_(deps.terminator) {}
    ScannerSupervisor(const ScannerSupervisor&) = delete;
    ScannerSupervisor& operator=(const ScannerSupervisor&) = delete;

    // Opens the port with the settings; false when it failed (its texts then shown).
    bool Open();
    // Timer1.
    void Tick();
    // The port's reader saw a terminator arrive: the reading it ends is delivered now rather
    // than at the next tick. Only while readings are delivered and nothing holds the loop.
    void TerminatorArrived();
    // After a confirmed dialog: closed and opened again with the new settings; false when
    // it failed (a scanner lost before is then looked for again).
    bool ReopenAfterSettings();
    // Its port did not open (at load, after a dialog): looked for as after an unplug, on the
    // same port every 2 s and on ports that appear.
    void FollowLostPort();
    // Identification again on the next tick (a confirmed dialog).
    void Rearm();
    // The program ends: a reading that finished is delivered, one under way is not.
    void FinishAtExit();
    void Close();

    ScannerPhase Phase() const { return phase_; }
    bool ScannerOpen() const;
    bool ScannerStarted() const { return phase_ == ScannerPhase::Running; }
    // A port that went away, or a scanner that fell silent after it came back.
    bool LostOrSilent() const;
    // For a start-up that is tested without identification.
    void MarkIdentified() { phase_ = ScannerPhase::Running; }

    void SetScannerState(std::int32_t state);
    std::int32_t GetScannerState() const { return ScannerState; }
    std::int32_t ScannerState = 0;

  private:
    // False when the scanner did not answer (its texts then stand).
    bool DetectScanner();
    // Takes what arrived and delivers the readings it finished; closing ends the one under way.
    void Collect(bool closing = false);
    // Readings the scanner's link dropped, each told.
    void TellLosses();
    void ScannerLost();
    void ReopenLater(ScannerPhase phase);
    void ReopenLostScanner();
    // While lost: a serial port that appeared since is asked once with the brand's query.
    void LookOnNewPorts();
    // Ports present (free) when last looked: only one that appears after is asked.
    void NotePresentPorts();
    bool OpenScanner();

    // The phase, and with it the state pages get.
    void SetPhase(ScannerPhase phase);

    ScannerDeps deps_;
    ScannerPhase phase_ = ScannerPhase::Closed;
    ScanCollector collector_;
    bool collecting_ = false;  // inside Collect: a wake-up from a message it pumps waits
    std::uint32_t lastReopenAt_ = 0;
    std::set<std::int32_t> present_;  // free ports when last looked, while lost
    std::int32_t candidate_ = 0;      // another port the scanner is asked on, or 0
};

}  // namespace ordane
