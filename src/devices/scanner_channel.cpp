#include "devices/scanner_channel.h"

#include <utility>

namespace ordane {

ScannerChannel::ScannerChannel(const Text& scannerModel, SerialLibrary& commDll,
                               SymbolFactory symbol)
    : scannerModel_(scannerModel), commDll_(commDll), symbolFactory_(std::move(symbol)) {}

bool ScannerChannel::UsesSymbol() const {
    return scannerModel_ == u"Symbol";
}

FrmSymbol& ScannerChannel::Symbol() {
    if (symbol_ == nullptr) {
        symbol_ = &symbolFactory_();
    }
    return *symbol_;
}

PortOpening ScannerChannel::OpenScannerPort(std::int32_t Port, const LineSettings& line) {
    // A close goes to the path of the brand at that moment, so after a change of brand the
    // other path may still hold the port exclusively: it lets go before this one opens.
    openedPort_ = Port;
    if (UsesSymbol()) {
        commDll_.ClosePort();
        const std::int32_t code = Symbol().OpenPort(Port, line);
        return PortOpening{code == 0, code};
    }
    if (symbol_ != nullptr) {
        symbol_->ClosePort();
    }
    const std::int32_t code = commDll_.OpenPort(Port, line);
    return PortOpening{code == 0, code};
}

std::int32_t ScannerChannel::CloseScannerPort() {
    return UsesSymbol() ? Symbol().ClosePort() : commDll_.ClosePort();
}

std::int32_t ScannerChannel::ReadScannerPort(std::uint8_t* buff, std::int32_t BuffSize) {
    const std::int32_t n =
        UsesSymbol() ? Symbol().ReadData(buff, BuffSize) : commDll_.ReadData(buff, BuffSize);
    // Callers size their buffers by BuffSize; a count beyond it would send them past the end.
    return n > BuffSize ? BuffSize : n;
}

PortPresence ScannerChannel::TakeScannerArrived(std::vector<ArrivedBytes>& out) {
    const std::int32_t taken = UsesSymbol() ? Symbol().TakeArrived(out) : commDll_.TakeArrived(out);
    return taken < 0 ? PortPresence::Gone : PortPresence::Present;
}

std::uint32_t ScannerChannel::ScannerLineSeenAt(std::uint32_t now) {
    return UsesSymbol() ? now : commDll_.LineSeenAt(now);
}

std::int32_t ScannerChannel::WriteScannerPort(const std::uint8_t* buff, std::int32_t Count) {
    return UsesSymbol() ? Symbol().WriteData(buff, Count) : commDll_.WriteData(buff, Count);
}

std::int32_t ScannerChannel::ClearScannerRXBuff() {
    return UsesSymbol() ? Symbol().ClearRXBuff() : commDll_.ClearRXBuff();
}

void ScannerChannel::TakeScannerLosses(std::vector<LogWord>& out) {
    if (symbol_ != nullptr) {
        symbol_->TakeLosses(out);
    }
}

}  // namespace ordane
