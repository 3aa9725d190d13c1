// The Symbol operations of the scanner's library, with a link that only tests drive. It
// records every call in order (Log(): "conn 77 9600 3", "setbuff 3 5000", "setparam 3 ee 01",
// "version 3", "disconn 77 3") and keeps the buffer given with SetBuff. DeliverData and
// DeliverVersion post a window message through FakePump::Post; when the program dispatches
// it, the bytes are copied into the SetBuff buffer (what fits) and the window handler is
// called with the message and the count, as the real link's window does. Attach(FrmSymbol&)
// sets the handler to FrmSymbol::SymbolWindowHook. With versionReply set, each
// GetScannerVersion while connected delivers it after versionDelayMs. ConnPort fails with
// connResult when it is not 0.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "devices/serial_library.h"
#include "devices/ssi_host.h"
#include "devices/symbol_link.h"
#include "fake_pump.h"

namespace ordane {
class FrmSymbol;
}

namespace ordane::test {

class FakeSymbolLink final : public SymbolLinkLibrary {
  public:
    explicit FakeSymbolLink(FakePump& pump) : pump_(pump) {}

    std::int32_t ConnPort(WindowHandle window, std::int32_t baudRate, std::int32_t port) override;
    std::int32_t SetBuff(std::int32_t port, std::uint8_t* buff, std::int32_t size) override;
    std::int32_t SetParam(std::int32_t port, const std::uint8_t* params,
                          std::int32_t count) override;
    std::int32_t GetScannerVersion(std::int32_t port) override;
    std::int32_t DisConnPort(WindowHandle window, std::int32_t port) override;
    bool LinkFailed() const override { return connected_ && unplugged; }

    void SetWindowHandler(std::function<void(unsigned msg, std::int32_t n)> handler) {
        handler_ = std::move(handler);
    }
    void Attach(FrmSymbol& symbol);

    // A reading (kSymbolDataMessage) or version reply (kSymbolVersionMessage) block.
    void DeliverData(const Bytes& bytes, std::uint32_t delayMs = 0);
    void DeliverVersion(const Bytes& bytes, std::uint32_t delayMs = 0);
    // A reading the link dropped by the protocol's rules (kSymbolLostMessage).
    void DeliverLost(SsiReading::Loss why) {
        Deliver(kSymbolLostMessage, Bytes{static_cast<std::uint8_t>(why)}, 0);
    }

    bool Connected() const { return connected_; }
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }

    std::int32_t connResult = 0;
    bool unplugged = false;  // the port's device is gone: connecting fails, reads report it
    std::optional<Bytes> versionReply;
    std::uint32_t versionDelayMs = 300;
    std::vector<Bytes> params;  // bytes of each SetParam
    int versionRequests = 0;

  private:
    void Deliver(unsigned msg, const Bytes& bytes, std::uint32_t delayMs);

    FakePump& pump_;
    std::function<void(unsigned, std::int32_t)> handler_;
    bool connected_ = false;
    std::uint8_t* buff_ = nullptr;
    std::int32_t buffSize_ = 0;
    std::vector<std::string> log_;
};

}  // namespace ordane::test
