#include "fake_serial_library.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>

namespace ordane::test {

std::string FakeSerialLibrary::Hex(const std::uint8_t* bytes, std::size_t count) {
    std::string out;
    char digits[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof(digits), "%02x", bytes[i]);
        if (i != 0) {
            out += ' ';
        }
        out += digits;
    }
    return out;
}

std::int32_t FakeSerialLibrary::OpenPort(std::int32_t port, std::int32_t baudRate,
                                         std::int32_t byteSize, std::int32_t parity,
                                         std::int32_t stopBits) {
    opens.push_back(Open{port, baudRate, byteSize, parity, stopBits});
    log_.push_back("open " + std::to_string(port) + " " + std::to_string(baudRate) + " " +
                   std::to_string(byteSize) + " " + std::to_string(parity) + " " +
                   std::to_string(stopBits));
    const std::int32_t result = unplugged || absent.count(port) != 0 ? 2 : openResult;
    open_ = result == 0;
    return result;
}

std::int32_t FakeSerialLibrary::ClosePort() {
    ++closes;
    log_.push_back("close");
    open_ = false;
    rx_.clear();
    return 0;
}

std::int32_t FakeSerialLibrary::ClearRXBuff() {
    ++clears;
    log_.push_back("clear");
    rx_.clear();
    return 0;
}

std::int32_t FakeSerialLibrary::WriteData(const std::uint8_t* buff, std::int32_t count) {
    Bytes bytes(buff, buff + (count > 0 ? count : 0));
    writes.push_back(bytes);
    log_.push_back("write " + Hex(bytes.data(), bytes.size()));
    if (open_ && responder) {
        responder(bytes);
    }
    return open_ ? count : -1;
}

std::size_t FakeSerialLibrary::Pending() const {
    std::size_t total = 0;
    for (const ArrivedBytes& piece : rx_) {
        total += piece.bytes.size();
    }
    return total;
}

std::int32_t FakeSerialLibrary::ReadData(std::uint8_t* buff, std::int32_t capacity) {
    std::int32_t n = 0;
    while (open_ && n < capacity && !rx_.empty()) {
        std::string& front = rx_.front().bytes;
        const std::size_t take = std::min(front.size(), static_cast<std::size_t>(capacity - n));
        std::memcpy(buff + n, front.data(), take);
        n += static_cast<std::int32_t>(take);
        front.erase(0, take);
        if (front.empty()) {
            rx_.pop_front();
        }
    }
    if (open_ && unplugged && n == 0) {
        n = -1;
    }
    if (n > 0) {
        n += overReport;
    }
    log_.push_back("read " + std::to_string(capacity) + " -> " + std::to_string(n));
    return n;
}

std::int32_t FakeSerialLibrary::TakeArrived(std::vector<ArrivedBytes>& out) {
    std::int32_t n = 0;
    if (open_) {
        n = rx_.empty() && unplugged ? -1 : static_cast<std::int32_t>(rx_.size());
        out.insert(out.end(), std::make_move_iterator(rx_.begin()),
                   std::make_move_iterator(rx_.end()));
        rx_.clear();
    }
    log_.push_back("take -> " + std::to_string(n));
    return n;
}

void FakeSerialLibrary::Queue(const Bytes& bytes) {
    if (open_ && !bytes.empty()) {
        rx_.push_back(ArrivedBytes{std::string(bytes.begin(), bytes.end()),
                                   pump != nullptr ? pump->TickCount() : 0u, false, 0,
                                   std::exchange(cutNext, false)});
    }
}

void FakeSerialLibrary::Arrive(FakePump& clock, std::uint32_t delayMs, Bytes bytes) {
    pump = &clock;
    clock.At(delayMs, [this, bytes = std::move(bytes)] { Queue(bytes); });
}

}  // namespace ordane::test
