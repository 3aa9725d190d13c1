// A serial library (CommDll, CommDll2) over an imaginary port. It records every call in order
// (Log(): "open 3 9600 8 0 0", "clear", "write 16 4D ...", "read 25 -> 4", "close"), plus the
// opens and writes as data. Incoming bytes are queued at once (Queue) or arrive later in
// virtual time (Arrive, through FakePump::At), each call one piece stamped with the pump's tick
// count when it arrives (TakeArrived hands the pieces out); a responder, called with the bytes of
// each write while the port is open, lets a simulated device answer, typically by scheduling
// Arrive. ReadData returns at most capacity bytes, oldest first. While the port is closed
// (never opened, failed open, closed) arriving bytes are lost, writes reach no responder and
// reads return 0. OpenPort fails with openResult when it is not 0. With unplugged set the
// device is gone: reads of an open port fail (-1) once what was received is read, and opens
// fail with 2 (file not found). With overReport set, a read that copied bytes reports that many
// more than it copied, as a faulty closed library might.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/text.h"
#include "devices/serial_library.h"
#include "fake_pump.h"

namespace ordane::test {

class FakeSerialLibrary final : public SerialLibrary {
  public:
    struct Open {
        std::int32_t port, baudRate, byteSize, parity, stopBits;
    };

    std::int32_t OpenPort(std::int32_t port, std::int32_t baudRate, std::int32_t byteSize,
                          std::int32_t parity, std::int32_t stopBits) override;
    std::int32_t ClosePort() override;
    std::int32_t ClearRXBuff() override;
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) override;
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) override;
    std::int32_t TakeArrived(std::vector<ArrivedBytes>& out) override;

    // Bytes received now (lost when the port is closed), stamped with pump's tick count (0
    // while the double has no pump).
    void Queue(const Bytes& bytes);
    // Bytes received after delayMs of virtual time; clock becomes the double's pump.
    void Arrive(FakePump& clock, std::uint32_t delayMs, Bytes bytes);

    bool IsOpen() const { return open_; }
    std::size_t Pending() const;
    const std::vector<std::string>& Log() const { return log_; }
    void ClearLog() { log_.clear(); }
    // Lower-case hex with spaces, as the log writes bytes.
    static std::string Hex(const std::uint8_t* bytes, std::size_t count);

    std::int32_t openResult = 0;
    bool unplugged = false;
    // Ports whose opens fail with 2 (file not found): an adapter that came back elsewhere.
    std::set<std::int32_t> absent;
    std::int32_t overReport = 0;
    // The next piece to arrive says bytes after it were lost (a full queue).
    bool cutNext = false;
    std::function<void(const Bytes&)> responder;
    // The clock that stamps arriving bytes: set it, or Arrive sets it.
    FakePump* pump = nullptr;
    std::vector<Open> opens;
    std::vector<Bytes> writes;
    int clears = 0;
    int closes = 0;

  private:
    bool open_ = false;
    std::deque<ArrivedBytes> rx_;
    std::vector<std::string> log_;
};

}  // namespace ordane::test
