// The main window's status lines by purpose, its three commands, and when the window may be
// shown or hidden. The lines a browser page sees also go to the bridge.
#pragma once

#include <array>
#include <cstdint>

#include "app/main_view.h"
#include "app/readings.h"
#include "common/pump.h"
#include "common/text.h"
#include "tray/tray_icon.h"

namespace ordane {

// The label each line is (Label1 ... Label13): tests and automation find them by these ids.
enum class StatusLine {
    Scanner = 1,        // the scanner's state
    ScannerNotice = 2,  // a hint or a notice about the last reading
    ScannerDevice = 3,  // "设备:" and the brand
    ScannerModel = 7,   // "型号:" and the model
    ReaderDevice = 10,
    ReaderModel = 11,
    Reader = 12,  // the card reader's state
    ReaderNotice = 13,
};

enum class Command { Hide = 4, Settings = 5, Exit = 6 };

class StatusLines {
  public:
    StatusLines(MainView& view, TrayIcon& tray, MessagePump& pump, Readings* readings);
    StatusLines(const StatusLines&) = delete;
    StatusLines& operator=(const StatusLines&) = delete;

    void Show(StatusLine line, const Text& text);
    const Text& Shown(StatusLine line) const;
    void ClearAll();

    void SetCommandsEnabled(bool enabled);
    bool CommandEnabled(Command command) const;

    // Hides the main window, but only while the tray icon is there to bring it back, and, unless
    // the clerk asked, not while a device's failure stands on it.
    void HideToTray(bool asked = false);
    // A device's failure stands on its lines (line: StatusLine::Scanner or StatusLine::Reader).
    void SetFailing(StatusLine line, bool failing);
    // The device's state as pages get it (line: StatusLine::Scanner or StatusLine::Reader).
    void SetState(StatusLine line, DeviceState state);
    // Shows the window for a failure found while the clerk works: it never takes the keyboard
    // focus, and waits until the last typed reading's keys had time to reach their window.
    void ShowFailure();
    // Called every scanner tick: shows a failure that was waiting for the keys.
    void ShowPendingFailure();
    // Keys of a reading of this many characters were just typed.
    void KeysTyped(std::size_t characters);
    // A reading or card record that did not reach the business application: its notice line
    // says so, and a balloon by the tray icon (no focus taken), so that a beep is never the
    // only sign of a record that went nowhere.
    void NotDelivered(StatusLine notice, const Text& what);

  private:
    static constexpr std::size_t kLines = 14;
    MainView& view_;
    TrayIcon& tray_;
    MessagePump& pump_;
    Readings* readings_;
    std::array<Text, kLines> shown_{};
    std::array<bool, 3> commandsEnabled_{true, true, true};
    ReadingsStatus readingsStatus_;
    bool failureShowPending_ = false;
    bool scannerFailing_ = false;
    bool readerFailing_ = false;
    std::uint32_t typedAt_ = 0;
    std::uint32_t typedSettleMs_ = 0;
};

}  // namespace ordane
