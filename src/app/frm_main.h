// The main window's logic: start-up sequence, status lines, the two device loops, delivery to
// the business application, the card reader and its registration report, and the three
// commands. The Win32 window only forwards its messages here.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "app/delivery.h"
#include "app/main_view.h"
#include "app/readings.h"
#include "common/pump.h"
#include "common/registry.h"
#include "common/text.h"
#include "desktop/http.h"
#include "desktop/tray_icon.h"
#include "devices/card_library.h"
#include "devices/card_reader_identification.h"
#include "devices/scanner_channel.h"
#include "devices/scanner_identification.h"
#include "log/diagnostic_log.h"
#include "settings/frm_set.h"
#include "settings/profile_file.h"

namespace ordane {

inline constexpr char16_t kTargetWindowTitle[] = u"EC79BF23-6763-4120-8143-A5FF53C87FEB";
inline constexpr char16_t kMarkerDE6K8[] = u"DE6K8";
inline constexpr char16_t kMarkerDA36L[] = u"DA36L";
inline constexpr int kTimer1Id = 1;  // scanner input loop, 50 ms
inline constexpr int kTimer2Id = 2;  // card reader loop, 500 ms
inline constexpr int kKeyF9 = 120;

struct FrmMainDeps {
    MainView& view;
    TrayIcon& tray;
    MessagePump& pump;
    TimerHost& timers;
    FrmSet& frmSet;
    ProfileFile& settingsFile;
    ScannerChannel& scanner;
    ScannerIdentification& scannerIdentification;
    CardReaderIdentification& cardReaderIdentification;
    CardReaderLibrary& sdtapi;
    Delivery& delivery;
    Registry& registry;
    Http& Http1;
    const AnsiCodec& codec;
    DiagnosticLog& log;
    // The browser bridge, when it is on.
    Readings* readings = nullptr;
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

    void Timer1_Timer();
    void Timer2_Timer();

    void SetScannerState(std::int32_t state);
    std::int32_t GetScannerState() const { return ScannerState; }
    void SetReaderState(std::int32_t state);
    std::int32_t GetReaderState() const { return ReaderState; }

    void SetNormalText(const Text& str);
    void SetQRText(const Text& QrStr);
    Text GetCardStr(std::int32_t iport);
    void Uploaded(const Text& id);

    // Card reader port kept open by the Settings command (the module procedures).
    std::int32_t OpenCardReaderPort(std::int32_t port);
    void CloseCardReaderPort();

    bool CommandEnabled(int label) const;
    const Timer& Timer1() const { return timer1_; }
    const Timer& Timer2() const { return timer2_; }

    // Shared members.
    std::int32_t ScannerState = 0;
    std::int32_t ReaderState = 0;
    bool ScannerOpen = false;
    bool ReaderOpen = false;
    bool ScannerStarted = false;
    bool ReaderStarted = false;
    Text SamId;
    std::array<Text, 104> QrCodeTypes;  // indexes 1 to 103
    std::int32_t CardReaderPort = 0;

  private:
    // A device start-up holds both loops and gives them back as it found them.
    struct TimerStates {
        bool timer1;
        bool timer2;
    };
    TimerStates StopTimers();
    void RestoreTimers(TimerStates noted);
    void EnableTimersInUse(bool useScanner, bool useReader);
    void FillQrCodeTypes();
    void ClearStatusLines();
    // Shows a status line; the lines a page sees also go to the browser bridge.
    void SetLabel(int label, const Text& text);
    // Hides the main window, but only while the tray icon is there to bring it back.
    void HideToTray();
    void SetCommandsEnabled(bool enabled);
    bool StartCardReaderAtLoad();
    // False when the scanner did not answer (its texts then stand and both loops stay off).
    bool DetectScanner();
    // Reads on the scanner port failed: the device is gone (an adapter unplugged).
    void ScannerLost();
    // The scanner port, closed, is tried again by Timer1 every 2 s and the scanner identified
    // once it opens, until the scanner answers or the Settings command takes over.
    void ReopenScannerLater();
    // Shows the window for a failure found while the clerk works: it never takes the keyboard
    // focus, and it waits until the last typed reading's keys have had time to reach their
    // window (Timer1 shows it once they have).
    void ShowFailure();
    void ShowPendingFailure();
    void ReopenLostScanner();
    // A device in use that is not running: its port failed, it went away, or it was not
    // identified.
    bool DeviceFailed() const;
    Text DecodeScan(const std::string& scan) const;
    void StartCardReader();
    bool UploadInfo(const Text& id, LogWord trigger);
    // The device steps that the diagnostic log records.
    std::int32_t OpenScanner();
    void CloseScanner();
    bool IdentifyCardReader();
    bool IsKnownTwoDimensional(const Text& scan, const Text& marker) const;
    // How the reading went out: typed, or set into the business application's window.
    DeliveryKind DeliverScan(const Text& scan);
    void Label4_Click();
    void Label5_Click();
    void Label6_Click();

    FrmMainDeps deps_;
    Timer timer1_;
    Timer timer2_;
    std::array<bool, 3> commandsEnabled_{true, true, true};  // Label4, Label5, Label6
    bool scannerLost_ = false;  // the scanner port went away; Timer1 tries to reopen it
    // The port was reopened by Timer1: a scanner that does not answer yet is asked again.
    bool reopenedByItself_ = false;
    bool silentScannerShown_ = false;  // the window was shown for a scanner not answering
    std::uint32_t lastReopenAt_ = 0;
    bool failureShowPending_ = false;
    bool scanTooLongShown_ = false;             // Label2 says a stream was dropped as too long
    std::uint32_t typedAt_ = 0;                 // when the last reading was typed
    std::uint32_t typedSettleMs_ = 0;           // how long its keys may take to be handled
    std::optional<std::int32_t> pollOpenCode_;  // the card port's last open result, as logged
    CardFields cardFields_;                     // of the last record GetCardStr built
    ReadingsStatus readingsStatus_;             // the status lines as the browser bridge sees them
};

}  // namespace ordane
