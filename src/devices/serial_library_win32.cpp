#include "devices/serial_library_win32.h"

#include <algorithm>
#include <cstring>

namespace ordane {

void ByteFifo::Push(const std::uint8_t* data, std::size_t count) {
    count = std::min(count, kLimit - std::min(kLimit, Size()));
    if (count == 0) {
        return;
    }
    // Reclaim the consumed front once it is at least half of the storage.
    if (head_ > 0 && head_ >= bytes_.size() / 2) {
        bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
    }
    bytes_.insert(bytes_.end(), data, data + count);
}

std::size_t ByteFifo::Pop(std::uint8_t* out, std::size_t capacity) {
    const std::size_t count = std::min(capacity, Size());
    if (count > 0) {
        std::memcpy(out, bytes_.data() + head_, count);
        head_ += count;
    }
    if (head_ == bytes_.size()) {
        Clear();
    }
    return count;
}

void ByteFifo::Clear() {
    bytes_.clear();
    head_ = 0;
}

SerialPortWin32::~SerialPortWin32() {
    ClosePort();
}

std::int32_t SerialPortWin32::OpenPort(std::int32_t port, std::int32_t baudRate,
                                       std::int32_t byteSize, std::int32_t parity,
                                       std::int32_t stopBits) {
    ClosePort();
    DWORD error = ERROR_SUCCESS;
    ComPort opened = OpenComPort(port, error);
    if (!opened.Valid()) {
        return static_cast<std::int32_t>(error);
    }
    if (!ApplyLineSettings(opened.Get(), baudRate, byteSize, parity, stopBits, lineSettings_,
                           error)) {
        return static_cast<std::int32_t>(error);
    }
    auto receive = [this](const std::uint8_t* data, std::size_t count) {
        if (count > 0) {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.Push(data, count);
        }
    };
    auto drop = [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.Clear();
    };
    if (!reader_.Start(opened.Get(), ReadSizeFor(baudRate), receive, drop, error)) {
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

}  // namespace ordane
