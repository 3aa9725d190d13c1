#include "fake_symbol_link.h"

#include <algorithm>
#include <cstring>

#include "devices/frm_symbol.h"
#include "fake_serial_library.h"

namespace ordane::test {

std::int32_t FakeSymbolLink::ConnPort(WindowHandle window, std::int32_t baudRate,
                                      std::int32_t port) {
    log_.push_back("conn " + std::to_string(window) + " " + std::to_string(baudRate) + " " +
                   std::to_string(port));
    const std::int32_t result = unplugged ? 2 : connResult;
    connected_ = result == 0;
    return result;
}

std::int32_t FakeSymbolLink::SetBuff(std::int32_t port, std::uint8_t* buff, std::int32_t size) {
    log_.push_back("setbuff " + std::to_string(port) + " " + std::to_string(size));
    buff_ = buff;
    buffSize_ = size;
    return 0;
}

std::int32_t FakeSymbolLink::SetParam(std::int32_t port, const std::uint8_t* bytes,
                                      std::int32_t count) {
    Bytes copy(bytes, bytes + std::max(count, 0));
    log_.push_back("setparam " + std::to_string(port) + " " +
                   FakeSerialLibrary::Hex(copy.data(), copy.size()));
    params.push_back(std::move(copy));
    return 0;
}

std::int32_t FakeSymbolLink::GetScannerVersion(std::int32_t port) {
    log_.push_back("version " + std::to_string(port));
    ++versionRequests;
    if (connected_ && versionReply) {
        DeliverVersion(*versionReply, versionDelayMs);
    }
    return 0;
}

std::int32_t FakeSymbolLink::DisConnPort(WindowHandle window, std::int32_t port) {
    log_.push_back("disconn " + std::to_string(window) + " " + std::to_string(port));
    connected_ = false;
    return 0;
}

void FakeSymbolLink::Attach(FrmSymbol& symbol) {
    handler_ = [&symbol](unsigned msg, std::int32_t n) { symbol.SymbolWindowHook(msg, n); };
}

void FakeSymbolLink::DeliverData(const Bytes& bytes, std::uint32_t delayMs) {
    Deliver(kSymbolDataMessage, bytes, delayMs);
}

void FakeSymbolLink::DeliverVersion(const Bytes& bytes, std::uint32_t delayMs) {
    Deliver(kSymbolVersionMessage, bytes, delayMs);
}

void FakeSymbolLink::Deliver(unsigned msg, const Bytes& bytes, std::uint32_t delayMs) {
    pump_.Post(
        [this, msg, bytes] {
            std::int32_t n = 0;
            if (buff_ != nullptr && !bytes.empty()) {
                n = std::min(static_cast<std::int32_t>(bytes.size()), buffSize_);
                std::memcpy(buff_, bytes.data(), static_cast<std::size_t>(n));
            }
            if (handler_) {
                handler_(msg, n);
            }
        },
        delayMs);
}

}  // namespace ordane::test
