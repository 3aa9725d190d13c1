// Card reader identification: before the reader is polled, a query exchange over the second
// serial library (CommDll2, so the scanner's open port is never disturbed) checks that a
// reader of the make chosen in the settings answers, and keeps its model in CardReaderXh
// (never in the settings).
#pragma once

#include <cstdint>

#include "common/pump.h"
#include "common/text.h"
#include "devices/serial_library.h"
#include "log/diagnostic_log.h"

namespace ordane {

// Identification constants of the "华旭" (HX-FDX3) reader. The answer's bytes 3..6 (big
// endian) must equal ((C ^ K1) | K2) & K3, C being the request's bytes 3..6; the three stay
// separate and are combined only when the check runs. Our own values: not yet checked
// against a real reader.
inline constexpr std::uint32_t kHxK1 = 0x3A6C19E5u;
inline constexpr std::uint32_t kHxK2 = 0x0410A002u;
inline constexpr std::uint32_t kHxK3 = 0xF7FFBFFDu;

// The answer value expected from a "华旭" reader for request value c.
std::uint32_t HxExpectedAnswer(std::uint32_t c);

class CardReaderIdentification {
  public:
    // cardReaderMake: the make as the program's settings hold it, read at every check.
    CardReaderIdentification(const Text& cardReaderMake, SerialLibrary& commDll2, MessagePump& pump,
                             DiagnosticLog& log = DiagnosticLog::Off());
    CardReaderIdentification(const CardReaderIdentification&) = delete;
    CardReaderIdentification& operator=(const CardReaderIdentification&) = delete;

    // "华旭" runs the Hx exchange (model "HX-FDX3"); any other make, empty included, the Hs
    // exchange ("CVR-100U"). True when the reader answered; CardReaderXh is set on success
    // only.
    bool CheckCardReader(std::int32_t port);
    bool CheckHxCardReader(std::int32_t port);
    bool CheckHsCardReader(std::int32_t port);

    // The model the last successful check found ("型号"); the user guide's spelling.
    Text CardReaderXh;

  private:
    const Text& cardReaderMake_;
    SerialLibrary& commDll2_;
    MessagePump& pump_;
    DiagnosticLog& log_;
};

}  // namespace ordane
