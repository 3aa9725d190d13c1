// The Settings model: one instance for the run, owned by the settings form (FrmSet derives
// from it). Every other part of the program reads the settings from here.
#pragma once

#include <cstdint>

#include "common/text.h"
#include "log/diagnostic_log.h"

namespace ordane {

struct Settings {
    Text ScannerModel;       // scanner brand, one of the brand list entries
    Text CardReaderModel;    // card reader make, "华旭" or "华视"
    std::int32_t Port = 0;   // scanner port n of "COMn"
    std::int32_t Port2 = 0;  // card reader port: 1-5 COM1-COM5, 6-9 USB6-USB9
    Text usePort2;           // "1" card reader in use, "0" not ("2": greyed box, in use)
    Text usePort1;           // the same for the scanner
    std::int32_t BaudRate = 0;
    std::int32_t ByteSize = 0;
    std::int32_t StopBits = 0;  // list index: 0 one, 1 two
    std::int32_t Parity = 0;    // list index: 0 none, 1 odd, 2 even
    bool AddEnter = false;
    bool ModalResult = false;
    bool vChanged = false;
    bool MustReopen = false;
};

// A "use" flag converted to a Boolean as the flags are used: a nonzero number is True.
inline bool UseFlag(const Text& flag) {
    return !flag.empty() && flag.find_first_not_of(u"0123456789") == Text::npos &&
           flag.find_first_not_of(u'0') != Text::npos;
}

// The settings as the diagnostic log writes them.
inline LoggedSettings ForLog(const Settings& s) {
    return LoggedSettings{s.usePort1, s.ScannerModel, s.Port,           s.BaudRate,
                          s.ByteSize, s.Parity,       s.StopBits,       s.AddEnter,
                          s.usePort2, s.Port2,        s.CardReaderModel};
}

}  // namespace ordane
