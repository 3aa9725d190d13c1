// The Settings model as a value. The program keeps one, the settings in force (Monitor owns it,
// FrmMain alone assigns it); the settings dialog edits a copy of its own and hands it back on OK.
// Nothing else writes either: identification keeps what it found in itself, and a scanner
// followed to a new port is taken into both by FrmMain.
#pragma once

#include <cstdint>

#include "common/text.h"
#include "devices/line_settings.h"
#include "log/diagnostic_log.h"

namespace ordane {

struct Settings {
    Text ScannerModel;       // scanner brand, one of the brand list entries
    Text CardReaderModel;    // card reader make, "华旭" or "华视"
    std::int32_t Port = 0;   // scanner port n of "COMn"
    std::int32_t Port2 = 0;  // card reader port: 1-5 COM1-COM5, 6-9 USB6-USB9
    Text usePort2;           // "1" card reader in use, "0" not ("2": greyed box, in use)
    Text usePort1;           // the same for the scanner
    // The scanner's line as Setting.ini and the dialog's lists keep it: StopBits and Parity
    // are list indexes (ScannerLine names them).
    std::int32_t BaudRate = 0;
    std::int32_t ByteSize = 0;
    std::int32_t StopBits = 0;  // list index: 0 one, 1 two
    std::int32_t Parity = 0;    // list index: 0 none, 1 odd, 2 even
    bool AddEnter = false;

    bool operator==(const Settings&) const = default;
};

// A "use" flag converted to a Boolean as the flags are used: a nonzero number is True.
inline bool UseFlag(const Text& flag) {
    return !flag.empty() && flag.find_first_not_of(u"0123456789") == Text::npos &&
           flag.find_first_not_of(u'0') != Text::npos;
}

// Whether two settings open the devices alike: everything but AddEnter concerns them.
inline bool SameDevices(Settings a, const Settings& b) {
    a.AddEnter = b.AddEnter;
    return a == b;
}

// The scanner's line settings for the serial layer: the one place the list indexes are named.
inline LineSettings ScannerLine(const Settings& s) {
    const ordane::Parity parity = s.Parity == 1   ? ordane::Parity::Odd
                                  : s.Parity == 2 ? ordane::Parity::Even
                                                  : ordane::Parity::None;
    return LineSettings(s.BaudRate, s.ByteSize, parity,
                        s.StopBits == 1 ? ordane::StopBits::Two : ordane::StopBits::One);
}

// The settings as the diagnostic log writes them.
inline LoggedSettings ForLog(const Settings& s) {
    return LoggedSettings{s.usePort1, s.ScannerModel, s.Port,           s.BaudRate,
                          s.ByteSize, s.Parity,       s.StopBits,       s.AddEnter,
                          s.usePort2, s.Port2,        s.CardReaderModel};
}

}  // namespace ordane
