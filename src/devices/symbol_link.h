// The Symbol operations of the scanner's serial library (CommDll): a packet link to a Symbol
// scanner that reports readings and version replies to a window.
#pragma once

#include <cstdint>

namespace ordane {

// A window handle as the core passes it around; only the Win32 shell looks inside.
using WindowHandle = std::uintptr_t;

// Window messages by which the Symbol link hands over what the scanner sent; lParam is the
// number of bytes now at the start of the buffer given with SetBuff.
constexpr unsigned kSymbolDataMessage = 32769;     // 0x8001
constexpr unsigned kSymbolVersionMessage = 32776;  // 0x8008
// A reading the link dropped by the protocol's rules; one byte: SsiReading::Loss.
constexpr unsigned kSymbolLostMessage = 32777;  // 0x8009

// The Symbol operations of the scanner's serial library: a packet link to a Symbol scanner
// that reports readings and version replies to a window.
class SymbolLinkLibrary {
  public:
    virtual ~SymbolLinkLibrary() = default;
    virtual std::int32_t ConnPort(WindowHandle window, std::int32_t baudRate,
                                  std::int32_t port) = 0;
    virtual std::int32_t SetBuff(std::int32_t port, std::uint8_t* buff, std::int32_t size) = 0;
    virtual std::int32_t SetParam(std::int32_t port, const std::uint8_t* params,
                                  std::int32_t count) = 0;
    virtual std::int32_t GetScannerVersion(std::int32_t port) = 0;
    virtual std::int32_t DisConnPort(WindowHandle window, std::int32_t port) = 0;
    // True once the connected port's device is gone (a USB adapter unplugged).
    virtual bool LinkFailed() const = 0;
    // Readings the link could not hand to the window (its queue full, or the window gone),
    // counted since the link was made.
    virtual std::uint32_t FailedHandOvers() const { return 0; }
};

}  // namespace ordane
