// ModSysFun's scanner channel: one set of port procedures whatever the scanner brand. Every
// call looks at the scanner brand the settings hold at that moment and goes to the Symbol channel
// (FrmSymbol) when it is exactly "Symbol", otherwise to the serial library CommDll; nothing
// remembers which path opened the port, so an open first makes the other path let go of it.
// Arguments and results pass through unchanged.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "common/delay.h"
#include "devices/frm_symbol.h"
#include "devices/port_outcome.h"
#include "devices/serial_library.h"
#include "common/text.h"

namespace ordane {

class ScannerChannel {
  public:
    // Creates and loads the single FrmSymbol (its window included) on first use; called at
    // most once.
    using SymbolFactory = std::function<FrmSymbol&()>;

    // scannerModel: the brand as the program's settings hold it, read at every call.
    ScannerChannel(const Text& scannerModel, SerialLibrary& commDll, SymbolFactory symbol);
    ScannerChannel(const ScannerChannel&) = delete;
    ScannerChannel& operator=(const ScannerChannel&) = delete;

    // Opened, or not with the path's failure code.
    PortOpening OpenScannerPort(std::int32_t Port, const LineSettings& line);
    std::int32_t CloseScannerPort();
    // Number of bytes placed at buff[0..]; 0 or less means none. Never more than BuffSize.
    std::int32_t ReadScannerPort(std::uint8_t* buff, std::int32_t BuffSize);
    // Everything received, piece by piece with its arrival time (SerialLibrary::TakeArrived);
    // a Symbol block comes as one whole reading. Gone once the port went away.
    PortPresence TakeScannerArrived(std::vector<ArrivedBytes>& out);
    // SerialLibrary::LineSeenAt of the scanner's port; the Symbol link hands whole blocks.
    std::uint32_t ScannerLineSeenAt(std::uint32_t now);
    std::int32_t WriteScannerPort(const std::uint8_t* buff, std::int32_t Count);
    std::int32_t ClearScannerRXBuff();
    // Why each Symbol reading acknowledged to the scanner was dropped since the last call
    // (FrmSymbol::TakeLosses); none on the serial path.
    void TakeScannerLosses(std::vector<LogWord>& out);

    // The port last opened (or asked to open): what an exchange on the channel is logged with.
    std::int32_t OpenedPort() const { return openedPort_; }
    // True when the current brand selects the Symbol channel.
    bool UsesSymbol() const;
    // The single FrmSymbol, created on first use.
    FrmSymbol& Symbol();

  private:
    const Text& scannerModel_;
    SerialLibrary& commDll_;
    SymbolFactory symbolFactory_;
    FrmSymbol* symbol_ = nullptr;
    std::int32_t openedPort_ = 0;
};

}  // namespace ordane
