#include "devices/serial_library_win32.h"

#include <mmsystem.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

namespace ordane {

SerialPortWin32::~SerialPortWin32() {
    ClosePort();
}

std::int32_t SerialPortWin32::OpenPort(std::int32_t port, const ordane::LineSettings& line) {
    ClosePort();
    DWORD error = ERROR_SUCCESS;
    ComPort opened = OpenComPort(port, error);
    if (!opened.Valid()) {
        return static_cast<std::int32_t>(error);
    }
    // A scanner that ends its readings with a terminator says itself where they end: its bytes
    // are handed on without waiting for the line to pause.
    constexpr DWORD kTerminatedReadGapMs = 2;
    if (!ApplyLineSettings(opened.Get(), line, lineSettings_, error,
                           wake_ ? kTerminatedReadGapMs : 0)) {
        return static_cast<std::int32_t>(error);
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lastLookAt_ = timeGetTime();
    }
    // Every call is a look at the line, with bytes or without.
    auto receive = [this](const std::uint8_t* data, std::size_t count) {
        const std::uint32_t at = timeGetTime();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count > 0) {
                received_.Push(data, count, at, at - lastLookAt_);
            }
            lastLookAt_ = at;
        }
        if (count > 0 && wake_ && std::memchr(data, static_cast<unsigned char>(wakeByte_), count)) {
            wake_();
        }
    };
    auto drop = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.Clear();
    };
    if (!reader_.Start(opened.Get(), ReadSizeFor(line.baudRate), receive, drop, error)) {
        return static_cast<std::int32_t>(error);
    }
    port_ = std::move(opened);
    return 0;
}

std::int32_t SerialPortWin32::ClosePort() {
    reader_.Stop();
    port_.Close();
    std::lock_guard<std::mutex> lock(mutex_);
    received_.Clear();
    return 0;
}

std::int32_t SerialPortWin32::ClearRXBuff() {
    if (port_.Valid()) {
        // The reader thread drops the bytes itself, so none that arrive afterwards are lost.
        reader_.Discard();
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    received_.Clear();
    return 0;
}

std::int32_t SerialPortWin32::WriteData(const std::uint8_t* buff, std::int32_t count) {
    if (!port_.Valid()) {
        return -1;
    }
    return WriteComPort(port_.Get(), buff, count);
}

std::int32_t SerialPortWin32::ReadData(std::uint8_t* buff, std::int32_t capacity) {
    if (buff == nullptr || capacity <= 0) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = received_.Pop(buff, static_cast<std::size_t>(capacity));
    if (n == 0 && reader_.Failed()) {
        return -1;  // the device is gone and everything it sent has been read
    }
    return static_cast<std::int32_t>(n);
}

std::uint32_t SerialPortWin32::LineSeenAt(std::uint32_t now) {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_.Valid() ? lastLookAt_ : now;
}

std::int32_t SerialPortWin32::TakeArrived(std::vector<ArrivedBytes>& out) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = received_.TakeAll(out);
    if (n == 0 && reader_.Failed()) {
        return -1;  // the device is gone and everything it sent has been taken
    }
    return static_cast<std::int32_t>(n);
}

}  // namespace ordane
