// A serial line's parameters as the serial layer takes them: named parity and stop bits, so
// that no caller hands on a bare number whose meaning lives in a list somewhere else.
#pragma once

#include <cstdint>

namespace ordane {

enum class Parity { None, Odd, Even };
enum class StopBits { One, Two };

struct LineSettings {
    // The defaults are the scanners' usual 9600 8N1.
    constexpr LineSettings(std::int32_t baud = 9600, std::int32_t bits = 8, Parity p = Parity::None,
                           StopBits s = StopBits::One)
        : baudRate(baud), byteSize(bits), parity(p), stopBits(s) {}

    std::int32_t baudRate;
    std::int32_t byteSize;
    Parity parity;
    StopBits stopBits;

    friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

}  // namespace ordane
