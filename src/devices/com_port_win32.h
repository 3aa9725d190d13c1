// Serial ports by number, shared by the serial library, the port probe and the Symbol link.
#pragma once

#include <windows.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/handle_win32.h"

namespace ordane {

// The device namespace name \\.\COMn, used for every n: the plain name "COM10" and above does
// not open on Windows.
std::wstring ComDeviceName(int port);

// An open port. Besides the device handle it holds a named claim on the port number: Windows'
// serial driver lets only one handle open a port, but Wine does not enforce that, so the
// claim gives the same exclusive access there (between every user of this code).
class ComPort {
  public:
    HANDLE Get() const { return device_.Get(); }
    bool Valid() const { return device_.Valid(); }
    void Close() {
        device_.Reset();
        claim_.Reset();
    }

  private:
    friend ComPort OpenComPort(int port, DWORD& error);
    UniqueHandle claim_;
    UniqueHandle device_;
};

// Opens COMn for reading and writing, exclusively, for overlapped I/O. On failure the port is
// invalid and error holds the reason (never 0); a port in use gives ERROR_ACCESS_DENIED.
ComPort OpenComPort(int port, DWORD& error);

// Line settings from the library's five parameters: parity 0 none, 1 odd, 2 even; stop bits
// 0 one, 1 two. Binary mode, no flow control, DTR and RTS held on (some scanners draw power
// from them). Also sets the timeouts ComReader and WriteComPort rely on. applied receives the
// settings handed to the driver (a pty, for one, reports 8 data bits and no parity whatever
// it was given).
// readGapMs: how long after the last byte a read ends (0: the usual 20 ms).
bool ApplyLineSettings(HANDLE port, std::int32_t baudRate, std::int32_t byteSize,
                       std::int32_t parity, std::int32_t stopBits, DCB& applied, DWORD& error,
                       DWORD readGapMs = 0);

// How many bytes one read of the reader thread asks for at this line speed: about 50 ms of
// line time. A read ends only when it is full or the line pauses, so on a line that never
// pauses a larger read would hold a long reading's bytes back for seconds, and the program
// would take the wait for the end of the reading.
std::size_t ReadSizeFor(std::int32_t baudRate);

// Sends count bytes through an overlapped write and waits for it at most as long as the port's
// write timeouts allow it (ApplyLineSettings: 1 s plus the line time) and 0.2 s more; a write
// not done by then is cancelled. Returns the bytes written, or -1 on failure.
std::int32_t WriteComPort(HANDLE port, const std::uint8_t* data, std::int32_t count);

// A thread that keeps reading a port (opened for overlapped I/O) so that nothing the device
// sends is lost while the program looks at the port only now and then: the driver's queue is
// emptied as soon as bytes arrive. It also writes what Send hands it, so that a line that
// takes nothing holds only this thread, never the caller.
//
// A driver may never finish a read it was asked to cancel. Stop therefore waits for the
// thread only a bounded time and then leaves it behind: everything the thread and a read in
// flight touch lives in state the thread keeps alive itself, its own handle of the port
// included, and a thread left behind never calls the receiver again.
class ComReader {
  public:
    static constexpr DWORD kTickMs = 50;
    // How long Stop waits for the thread before leaving it behind.
    static constexpr DWORD kStopWaitMs = 1000;

    // Called on the reader thread with each piece received, and with count 0 (data null) when
    // a read came back empty, about every kTickMs while the line is quiet: the line was seen
    // empty then, and the receiver keeps time by it. It must not
    // block (Stop waits for a call in progress); it may call Send.
    using Receiver = std::function<void(const std::uint8_t* data, std::size_t count)>;
    // Called on the reader thread when Discard asks to drop what was received; must not block.
    using Dropper = std::function<void()>;

    ComReader() = default;
    ~ComReader() { Stop(); }
    ComReader(const ComReader&) = delete;
    ComReader& operator=(const ComReader&) = delete;

    // readSize bounds one read (see ReadSizeFor). The thread works on a duplicate of port, so
    // the owner may close port and open another as soon as Stop returned.
    bool Start(HANDLE port, std::size_t readSize, Receiver receiver, Dropper dropper, DWORD& error);
    // Cancels the pending read or write and ends the thread, or leaves it behind after
    // kStopWaitMs (and a receiver or dropper call in progress). Writes not yet made are
    // dropped. The port stays open (its owner closes it).
    void Stop();
    // Queues bytes for the thread to write, in order, each write bounded as WriteComPort's, with
    // pauseAfterMs of quiet after them. Never waits for the line; without a thread, or with
    // many writes already waiting, the bytes are dropped.
    void Send(std::vector<std::uint8_t> bytes, DWORD pauseAfterMs = 0);
    // Purges the driver's receive queue and runs the dropper on the reader thread. When it
    // returns, no byte received before the call reaches the receiver any more. It waits for
    // the thread at most kStopWaitMs, and not at all while an earlier request is unanswered;
    // a reader that does not answer is bypassed (purge and dropper from here).
    void Discard();
    // True once reads kept failing and the line no longer answers: the device is gone (a USB
    // adapter unplugged). The thread then reads no more.
    bool Failed() const;

  private:
    struct Shared;
    static void Run(const std::shared_ptr<Shared>& shared);
    // Writes what Send queued; false once Stop was asked (the rest goes with the thread).
    static bool Flush(Shared& shared);
    // Drops a read in flight (its bytes are lost on purpose), purges and runs the dropper.
    static void DoDiscard(Shared& shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace ordane
