// The serial library on Win32: one open port per instance (the scanner's CommDll and the card
// reader probe's CommDll2 are two instances). A reader thread empties the driver's queue into
// a buffer of our own as bytes arrive, so a burst at full speed is kept whole while the
// program looks only every 50 ms or less often; each piece keeps the time it arrived.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "common/handle_win32.h"
#include "devices/arrival_queue.h"
#include "devices/com_port_win32.h"
#include "devices/serial_library.h"

namespace ordane {

class SerialPortWin32 final : public SerialLibrary {
  public:
    SerialPortWin32() = default;
    ~SerialPortWin32() override;
    SerialPortWin32(const SerialPortWin32&) = delete;
    SerialPortWin32& operator=(const SerialPortWin32&) = delete;

    // 0 = opened; otherwise the system error code of the step that failed, or
    // ERROR_INVALID_PARAMETER for line settings the port cannot take. An open port is closed
    // first.
    // Qualified: LineSettings below names the settings the driver took.
    std::int32_t OpenPort(std::int32_t port, const ordane::LineSettings& line) override;
    std::int32_t ClosePort() override;
    std::int32_t ClearRXBuff() override;
    // The number of bytes written, or -1 when the port is not open or the write failed.
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) override;
    // -1 once the device is gone (reads fail, the line no longer answers) and every byte it
    // sent before has been read.
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) override;
    // The pieces are stamped with timeGetTime(), the clock of MessagePumpWin32::TickCount, on
    // the reader thread as each comes off the line.
    std::int32_t TakeArrived(std::vector<ArrivedBytes>& out) override;
    // The reader thread's last look (it looks every 50 ms while the line is quiet); now while
    // no port is open.
    std::uint32_t LineSeenAt(std::uint32_t now) override;

    // Called on the reader thread whenever a piece holding this byte arrived (the last byte of
    // the scanner's terminator), so the reading it ends is taken at once rather than at the next
    // poll. Set before the first OpenPort; wake must not block.
    void WakeOn(char byte, std::function<void()> wake) {
        wakeByte_ = byte;
        wake_ = std::move(wake);
    }

    bool IsOpen() const { return port_.Valid(); }
    // The line settings last handed to the driver (diagnostics).
    const DCB& LineSettings() const { return lineSettings_; }

  private:
    ComPort port_;
    DCB lineSettings_{};
    ComReader reader_;
    std::mutex mutex_;
    ArrivalQueue received_;
    std::uint32_t lastLookAt_ = 0;  // under mutex_
    char wakeByte_ = 0;
    std::function<void()> wake_;
};

}  // namespace ordane
