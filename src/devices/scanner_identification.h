// Scanner identification: asks the scanner on the already open channel, with the query of
// the brand the settings name, whether a scanner of that brand answers, and keeps the model
// it found in ScannerXH (never in the settings). No check opens or closes the port; the
// caller keeps the device timers off.
#pragma once

#include "common/pump.h"
#include "common/text.h"
#include "devices/scanner_channel.h"
#include "log/diagnostic_log.h"

namespace ordane {

class ScannerIdentification {
  public:
    ScannerIdentification(ScannerChannel& channel, MessagePump& pump,
                          DiagnosticLog& log = DiagnosticLog::Off());
    ScannerIdentification(const ScannerIdentification&) = delete;
    ScannerIdentification& operator=(const ScannerIdentification&) = delete;

    // Each returns True when its brand answered, having set ScannerXH; a failure leaves
    // ScannerXH as it was (except CheckSymbol, which always copies FrmSymbol's model).
    bool CheckHHP();
    bool CheckDataLogic();
    bool CheckDenso();
    bool CheckSymbol();
    bool CheckMetrologic();
    bool CheckNewLand();

    // Sends str (one byte per character), waits Delay t, reads up to 15 bytes; the reply
    // text, one character per byte, or empty. Does not clear the receive side first.
    Text WriteStrToPort(const Text& str, double t);

    // The check named "Check" + brand; False for a brand that has none.
    bool CheckScanner(const Text& scannerModel);

    // The model the last check found ("型号"); the user guide's spelling.
    Text ScannerXH;

  private:
    // Clear, send the query, wait, read up to readCount bytes: the reply text, or empty.
    Text Exchange(const std::uint8_t* query, std::int32_t count, double wait,
                  std::int32_t readCount);

    // The exchange into the diagnostic log: the query as hex, of the reply only its length
    // and whether it matched (a barcode scanned meanwhile arrives in it).
    void LogExchange(const std::uint8_t* query, std::int32_t count, const Text& reply,
                     bool matched);

    ScannerChannel& channel_;
    MessagePump& pump_;
    DiagnosticLog& log_;
};

}  // namespace ordane
