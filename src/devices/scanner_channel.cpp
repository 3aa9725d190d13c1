#include "devices/scanner_channel.h"

#include <utility>

namespace ordane {

ScannerChannel::ScannerChannel(const Settings& settings, SerialLibrary& commDll,
                               SymbolFactory symbol)
    : settings_(settings), commDll_(commDll), symbolFactory_(std::move(symbol)) {}

bool ScannerChannel::UsesSymbol() const {
    return settings_.ScannerModel == u"Symbol";
}

FrmSymbol& ScannerChannel::Symbol() {
    if (symbol_ == nullptr) {
        symbol_ = &symbolFactory_();
    }
    return *symbol_;
}

std::int32_t ScannerChannel::OpenScannerPort(std::int32_t Port, std::int32_t BaudRate,
                                             std::int32_t ByteSize, std::int32_t Parity,
                                             std::int32_t StopBits) {
    // A close goes to the path of the brand at that moment, so after a change of brand the
    // other path may still hold the port exclusively: it lets go before this one opens.
    openedPort_ = Port;
    if (UsesSymbol()) {
        commDll_.ClosePort();
        return Symbol().OpenPort(Port, BaudRate, ByteSize, Parity, StopBits);
    }
    if (symbol_ != nullptr) {
        symbol_->ClosePort();
    }
    return commDll_.OpenPort(Port, BaudRate, ByteSize, Parity, StopBits);
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

std::int32_t ScannerChannel::TakeScannerArrived(std::vector<ArrivedBytes>& out) {
    return UsesSymbol() ? Symbol().TakeArrived(out) : commDll_.TakeArrived(out);
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
