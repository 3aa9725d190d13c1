// The serial library on Win32: one open port per instance (the scanner's CommDll and the card
// reader probe's CommDll2 are two instances). A reader thread empties the driver's queue into
// a buffer of our own as bytes arrive, so a burst at full speed is kept whole while the
// program polls ReadData only every 50 ms, 25 bytes at a time.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "common/handle_win32.h"
#include "devices/com_port_win32.h"
#include "devices/serial_library.h"

namespace ordane {

// Bytes received and not yet read, oldest first. Bounded so that a device that streams while
// nobody reads cannot take all memory; bytes beyond the bound are dropped, as a full driver
// queue would.
class ByteFifo {
  public:
    static constexpr std::size_t kLimit = 1u << 20;

    void Push(const std::uint8_t* data, std::size_t count);
    std::size_t Pop(std::uint8_t* out, std::size_t capacity);
    void Clear();
    std::size_t Size() const { return bytes_.size() - head_; }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t head_ = 0;
};

class SerialPortWin32 final : public SerialLibrary {
  public:
    SerialPortWin32() = default;
    ~SerialPortWin32() override;
    SerialPortWin32(const SerialPortWin32&) = delete;
    SerialPortWin32& operator=(const SerialPortWin32&) = delete;

    // 0 = opened; otherwise the system error code of the step that failed, or
    // ERROR_INVALID_PARAMETER for line settings the port cannot take. An open port is closed
    // first.
    std::int32_t OpenPort(std::int32_t port, std::int32_t baudRate, std::int32_t byteSize,
                          std::int32_t parity, std::int32_t stopBits) override;
    std::int32_t ClosePort() override;
    std::int32_t ClearRXBuff() override;
    // The number of bytes written, or -1 when the port is not open or the write failed.
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) override;
    // -1 once the device is gone (reads fail, the line no longer answers) and every byte it
    // sent before has been read.
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) override;

    bool IsOpen() const { return port_.Valid(); }
    // The line settings last handed to the driver (diagnostics).
    const DCB& LineSettings() const { return lineSettings_; }

  private:
    ComPort port_;
    DCB lineSettings_{};
    ComReader reader_;
    std::mutex mutex_;
    ByteFifo received_;
};

}  // namespace ordane
