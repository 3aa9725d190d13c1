// The main window's event surface: the start-up sequence, the three commands, the timers, F9.
// The rules live in the parts it owns, one home each: the status lines, the scanner and its
// readings (ScannerSupervisor, ScanCollector), where a reading goes (ReadingRouter), the card
// reader (CardReaderSupervisor) and the registration report. The Win32 window only forwards
// its messages here.
#pragma once

#include <cstdint>
#include <functional>

#include "app/card_reader_supervisor.h"
#include "app/delivery.h"
#include "app/loop_timers.h"
#include "app/main_view.h"
#include "app/reading_router.h"
#include "app/readings.h"
#include "app/registration_report.h"
#include "app/scan_settings.h"
#include "app/scanner_supervisor.h"
#include "app/status_lines.h"
#include "common/pump.h"
#include "common/registry.h"
#include "common/text.h"
#include "common/worker.h"
#include "registration/http.h"
#include "tray/tray_icon.h"
#include "devices/card_library.h"
#include "devices/card_reader_identification.h"
#include "devices/scanner_channel.h"
#include "devices/scanner_identification.h"
#include "log/diagnostic_log.h"
#include "settings/frm_set.h"
#include "settings/profile_file.h"

namespace ordane {

inline constexpr int kKeyF9 = 120;

// Built by Monitor, the program's one assembly.
struct FrmMainDeps {
    MainView& view;
    TrayIcon& tray;
    MessagePump& pump;
    TimerHost& timers;
    FrmSet& frmSet;
    // The settings in force: FrmMain alone assigns them, from the dialog's copy after the
    // file is read and after OK, and a scanner's port as it is followed.
    Settings& settings;
    ProfileFile& settingsFile;
    PortProbe& probe;
    ScannerChannel& scanner;
    ScannerIdentification& scannerIdentification;
    CardReaderIdentification& cardReaderIdentification;
    CardReaderLibrary& sdtapi;
    Worker& cardWorker;  // where the card reader library is called
    Delivery& delivery;
    Registry& registry;
    Http& Http1;  // the registration request, named as the user guide names the control
    const AnsiCodec& codec;
    DiagnosticLog& log;
    // The browser bridge, when it is on.
    Readings* readings = nullptr;
    ScanSettings scan = {};                // [SCAN]
    Worker* typingWorker = nullptr;        // where keys are typed when a delay between them is set
    Worker* registrationWorker = nullptr;  // where the registration request waits for its server
};

class FrmMain {
  public:
    explicit FrmMain(const FrmMainDeps& deps);
    FrmMain(const FrmMain&) = delete;
    FrmMain& operator=(const FrmMain&) = delete;

    // Window events.
    void Form_Load();
    void Form_Unload();
    void Form_KeyDown(int keyCode, int shift);
    void OnTimer(int id);
    void OnCommandClick(int label);  // Label4 Hide, Label5 Settings, Label6 Exit
    // The title bar's close box: ends the program as Exit does, and like Exit it is ignored
    // while a device start-up holds the commands.
    void OnCloseRequested();
    // Windows logs off or shuts down: the program ends as Exit ends it, whatever holds the
    // commands, before the handler returns (the process ends then).
    void OnSessionEnding();
    // A left click on the tray icon: the hidden window comes back.
    void OnTrayClick();

    // The card reader's worker returned from a library call.
    void OnCardRead();
    // The scanner port's reader saw the terminator arrive.
    void OnScanTerminated();
    // The typing worker finished a reading.
    void OnTyped();
    // The policy key changed (a group policy refresh): the settings are read again and, where
    // a device's changed, applied as the settings dialog's OK applies them.
    void OnPolicyChanged();
    // The registration request returned.
    void OnRegistered();
    // The user guide's names of the two loops' ticks: Timer1 the scanner (50 ms), Timer2 the
    // card reader (500 ms).
    void Timer1_Timer();
    void Timer2_Timer();

    bool CommandEnabled(int label) const;
    // A close request that came while a device start-up held the commands, carried out once
    // they are free again.
    bool closePending_ = false;
    const Timer& Timer1() const { return timers_.timer1; }
    const Timer& Timer2() const { return timers_.timer2; }

    ScannerSupervisor& Scanner() { return scanner_; }
    CardReaderSupervisor& CardReader() { return cardReader_; }
    ReadingRouter& Router() { return router_; }
    RegistrationReport& Registration() { return registration_; }

  private:
    void StartCardReader();
    // Runs a device start whose waits dispatch messages: the loops are held meanwhile, and a
    // command clicked meanwhile runs once the waits are over, so nothing starts or exits
    // inside them.
    void HoldWhile(const std::function<void()>& waits);
    void RunDeferredCommand();
    // A device in use that is not running: its port failed, it went away, or it was not
    // identified.
    bool DeviceFailed() const;
    // After a confirmed dialog or a policy change: the start-up steps re-armed, and the devices
    // reopened when a device setting changed or one had failed.
    void ApplySettings(bool devicesChanged, LogWord how);
    // The scanner answered on another port.
    bool FollowScannerPort(std::int32_t port);
    // The Settings and Exit commands, by the labels the user guide names them after.
    void Label5_Click();
    void Label6_Click();

    FrmMainDeps deps_;
    LoopTimers timers_;
    StatusLines lines_;
    RegistrationReport registration_;
    ReadingRouter router_;
    ScannerSupervisor scanner_;
    CardReaderSupervisor cardReader_;
    bool unloaded_ = false;
    bool holding_ = false;
    int deferredCommand_ = 0;  // clicked during a start's waits
};

}  // namespace ordane
