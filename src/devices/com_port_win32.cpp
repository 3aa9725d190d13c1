#include "devices/com_port_win32.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <initializer_list>
#include <vector>
#include <utility>
#include <system_error>

namespace ordane {

namespace {

DWORD NonZero(DWORD error) {
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// A read ends this long after its last byte, or one reader tick after it began, so that a read
// that ends empty is a real look at a quiet line, and bytes that trickle in are handed on at
// least every tick. (Wine never completes an overlapped serial read under the "return at once
// with what is there" timeouts, so those are not used.)
constexpr DWORD kReadGapMs = 20;

// Reads failing this many times in a row mean the device is gone, even where the driver still
// answers line queries.
constexpr int kGoneAfterFailures = 5;

// A write is waited for as long as the port's write timeouts allow it, and this much more; a
// driver that ignores its timeouts has the write cancelled then.
constexpr DWORD kWriteGraceMs = 100;
// How long the window's thread waits for a driver to give back a write it cancelled.
constexpr DWORD kCancelWaitMs = 100;

// Writes the reader thread holds for sending at most; a line that takes nothing while the
// device keeps talking cannot make them grow without end.
constexpr std::size_t kMaxQueuedWrites = 64;

DWORD WriteWaitMs(HANDLE port, std::size_t count) {
    COMMTIMEOUTS timeouts{};
    DWORD ms = 1000 + static_cast<DWORD>(count);  // about 9600 bit/s where the port has none
    if (GetCommTimeouts(port, &timeouts) &&
        (timeouts.WriteTotalTimeoutConstant != 0 || timeouts.WriteTotalTimeoutMultiplier != 0)) {
        ms = timeouts.WriteTotalTimeoutConstant +
             timeouts.WriteTotalTimeoutMultiplier * static_cast<DWORD>(count);
    }
    return ms + kWriteGraceMs;
}

// One overlapped write of bytes, waited for at most WriteWaitMs or until interrupt (when not
// null) is set; a write not done by then is cancelled and fails. held is set when the driver
// had not given the cancelled write back after cancelWaitMs: overlapped, event and bytes must
// then stay valid for it. Returns the bytes written, or -1.
std::int32_t WriteWithin(HANDLE port, OVERLAPPED& overlapped, HANDLE event,
                         const std::vector<std::uint8_t>& bytes, HANDLE interrupt,
                         DWORD cancelWaitMs, bool& held) {
    held = false;
    overlapped = OVERLAPPED{};
    overlapped.hEvent = event;
    if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    const HANDLE waits[2] = {event, interrupt};
    DWORD written = 0;
    if (WaitForMultipleObjects(interrupt != nullptr ? 2 : 1, waits, FALSE,
                               WriteWaitMs(port, bytes.size())) != WAIT_OBJECT_0) {
        CancelIoEx(port, &overlapped);
        if (WaitForSingleObject(event, cancelWaitMs) != WAIT_OBJECT_0) {
            held = true;
        } else {
            GetOverlappedResult(port, &overlapped, &written, FALSE);
        }
        return -1;
    }
    if (!GetOverlappedResult(port, &overlapped, &written, FALSE)) {
        return -1;
    }
    return static_cast<std::int32_t>(written);
}

}  // namespace

std::wstring ComDeviceName(int port) {
    return L"\\\\.\\COM" + std::to_wstring(port);
}

ComPort OpenComPort(int port, DWORD& error) {
    ComPort opened;
    error = ERROR_SUCCESS;
    if (port <= 0) {
        error = ERROR_FILE_NOT_FOUND;
        return opened;
    }
    const std::wstring claimName = L"Local\\Ordane.SerialPort.COM" + std::to_wstring(port);
    HANDLE claim = CreateMutexW(nullptr, FALSE, claimName.c_str());
    const DWORD claimError = GetLastError();
    opened.claim_.Reset(claim);
    if (!opened.claim_.Valid() || claimError == ERROR_ALREADY_EXISTS) {
        opened.claim_.Reset();
        error = ERROR_ACCESS_DENIED;
        return opened;
    }
    HANDLE device = CreateFileW(ComDeviceName(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    const DWORD openError = GetLastError();
    opened.device_.Reset(device);
    if (!opened.device_.Valid()) {
        error = NonZero(openError);
        opened.Close();
    }
    return opened;
}

bool ApplyLineSettings(HANDLE port, std::int32_t baudRate, std::int32_t byteSize,
                       std::int32_t parity, std::int32_t stopBits, DCB& applied, DWORD& error,
                       DWORD readGapMs) {
    error = ERROR_SUCCESS;
    if (baudRate <= 0 || byteSize < 5 || byteSize > 8 || parity < 0 || parity > 2 || stopBits < 0 ||
        stopBits > 1) {
        error = ERROR_INVALID_PARAMETER;
        return false;
    }
    // A large driver queue where the driver allows it; the reader thread empties it anyway.
    SetupComm(port, 65536, 4096);

    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(port, &dcb)) {
        error = NonZero(GetLastError());
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = parity == 0 ? NOPARITY : (parity == 1 ? ODDPARITY : EVENPARITY);
    // Two stop bits with five data bits is not a valid UART setting; the UART sends 1.5 there.
    dcb.StopBits = stopBits == 0 ? ONESTOPBIT : (byteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS);
    dcb.fBinary = TRUE;
    dcb.fParity = parity != 0 ? TRUE : FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = TRUE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = FALSE;
    applied = dcb;
    if (!SetCommState(port, &dcb)) {
        // Wine on a pseudo terminal refuses to set parity on a line whose last setting had
        // parity too; going through no parity first lets it through. A real driver accepts
        // the first request, so this costs nothing there.
        DCB neutral = dcb;
        neutral.Parity = NOPARITY;
        neutral.fParity = FALSE;
        if (dcb.Parity == NOPARITY || !SetCommState(port, &neutral) || !SetCommState(port, &dcb)) {
            error = NonZero(GetLastError());
            return false;
        }
    }

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = readGapMs != 0 ? readGapMs : kReadGapMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = ComReader::kTickMs;
    // A write may take its time on the line (12 bits per character at most) but never hangs.
    timeouts.WriteTotalTimeoutMultiplier = 12000 / static_cast<DWORD>(baudRate) + 1;
    timeouts.WriteTotalTimeoutConstant = 1000;
    if (!SetCommTimeouts(port, &timeouts)) {
        error = NonZero(GetLastError());
        return false;
    }
    PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

std::size_t ReadSizeFor(std::int32_t baudRate) {
    constexpr std::size_t kMin = 16;
    constexpr std::size_t kMax = 4096;
    const auto bytesIn50Ms = static_cast<std::size_t>(baudRate > 0 ? baudRate : 0) / 200;
    return std::clamp(bytesIn50Ms, kMin, kMax);
}

std::int32_t WriteComPort(HANDLE port, const std::uint8_t* data, std::int32_t count) {
    if (count <= 0) {
        return 0;
    }
    if (data == nullptr) {
        return -1;
    }
    // On the heap: a write the driver keeps even after it was cancelled is left to the driver
    // with everything it uses, instead of being waited for.
    struct Pending {
        OVERLAPPED overlapped{};
        UniqueHandle event;
        std::vector<std::uint8_t> bytes;
    };
    auto pending = std::make_unique<Pending>();
    pending->event.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!pending->event.Valid()) {
        return -1;
    }
    pending->bytes.assign(data, data + count);
    bool held = false;
    const std::int32_t written = WriteWithin(port, pending->overlapped, pending->event.Get(),
                                             pending->bytes, nullptr, kCancelWaitMs, held);
    if (held) {
        static_cast<void>(pending.release());
    }
    return written;
}

struct ComReader::Shared {
    // The thread's own handle of the port, closed when the thread and its owner are both done
    // with it. A thread left behind thus works on a handle nobody else can be given, whatever
    // its owner closed and opened since.
    UniqueHandle port;
    struct Outgoing {
        std::vector<std::uint8_t> bytes;
        DWORD pauseAfterMs = 0;
    };
    Receiver receiver;
    Dropper dropper;
    UniqueHandle stopEvent;
    UniqueHandle discardEvent;
    UniqueHandle readEvent;
    UniqueHandle exitedEvent;
    UniqueHandle sendEvent;
    UniqueHandle writeEvent;
    // A read's or a write's buffer and OVERLAPPED stay valid as long as the driver may still
    // use them.
    std::uint8_t chunk[4096];
    std::size_t readSize = sizeof(chunk);
    OVERLAPPED overlapped{};
    Outgoing writing;
    OVERLAPPED writeOverlapped{};
    std::mutex outboxMutex;
    std::deque<Outgoing> outbox;
    std::atomic<bool> failed{false};
    // Held while the receiver or the dropper runs; abandoned is set under it.
    std::mutex callMutex;
    bool abandoned = false;
    std::mutex discardMutex;
    std::condition_variable discarded;
    std::uint64_t discardsAsked = 0;
    std::uint64_t discardsDone = 0;

    void Receive(const std::uint8_t* data, std::size_t count) {
        std::lock_guard<std::mutex> lock(callMutex);
        if (!abandoned) {
            receiver(data, count);
        }
    }
    void Drop() {
        std::lock_guard<std::mutex> lock(callMutex);
        if (!abandoned && dropper) {
            dropper();
        }
    }
};

bool ComReader::Start(HANDLE port, std::size_t readSize, Receiver receiver, Dropper dropper,
                      DWORD& error) {
    Stop();
    error = ERROR_SUCCESS;
    auto shared = std::make_shared<Shared>();
    // Stop and exited: manual reset, every wait must see them. Discard and send: one request
    // each.
    for (auto [event, manualReset] :
         {std::pair{&shared->stopEvent, TRUE}, std::pair{&shared->discardEvent, FALSE},
          std::pair{&shared->readEvent, TRUE}, std::pair{&shared->exitedEvent, TRUE},
          std::pair{&shared->sendEvent, FALSE}, std::pair{&shared->writeEvent, TRUE}}) {
        HANDLE created = CreateEventW(nullptr, manualReset, FALSE, nullptr);
        const DWORD createError = GetLastError();
        event->Reset(created);
        if (!event->Valid()) {
            error = NonZero(createError);
            return false;
        }
    }
    HANDLE own = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), port, GetCurrentProcess(), &own, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
        error = NonZero(GetLastError());
        return false;
    }
    shared->port.Reset(own);
    shared->readSize = std::clamp<std::size_t>(readSize, 1, sizeof(shared->chunk));
    shared->receiver = std::move(receiver);
    shared->dropper = std::move(dropper);
    // Set before the thread runs: its receiver may call Send at once.
    shared_ = shared;
    try {
        thread_ = std::thread([shared] {
            Run(shared);
            SetEvent(shared->exitedEvent.Get());
        });
    } catch (const std::system_error&) {
        shared_.reset();
        error = ERROR_NOT_ENOUGH_MEMORY;
        return false;
    }
    return true;
}

void ComReader::Stop() {
    if (!thread_.joinable()) {
        shared_.reset();
        return;
    }
    SetEvent(shared_->stopEvent.Get());
    if (WaitForSingleObject(shared_->exitedEvent.Get(), kStopWaitMs) == WAIT_OBJECT_0) {
        thread_.join();
    } else {
        // Stuck in the driver. It may only be left once it cannot be inside the receiver or
        // the dropper, whose owner goes away after this; those calls never block.
        {
            std::lock_guard<std::mutex> lock(shared_->callMutex);
            shared_->abandoned = true;
        }
        thread_.detach();
    }
    shared_.reset();
}

void ComReader::Send(std::vector<std::uint8_t> bytes, DWORD pauseAfterMs) {
    if (!shared_ || bytes.empty()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->outboxMutex);
        if (shared_->outbox.size() >= kMaxQueuedWrites) {
            return;
        }
        shared_->outbox.push_back(Shared::Outgoing{std::move(bytes), pauseAfterMs});
    }
    SetEvent(shared_->sendEvent.Get());
}

bool ComReader::Failed() const {
    return shared_ && shared_->failed.load();
}

void ComReader::Discard() {
    if (!shared_) {
        return;
    }
    Shared& shared = *shared_;
    std::unique_lock<std::mutex> lock(shared.discardMutex);
    // A request still unanswered means the reader is stuck in the driver: waiting for it again
    // would only hold the caller once more.
    const bool stuck = shared.discardsDone < shared.discardsAsked;
    const std::uint64_t ticket = ++shared.discardsAsked;
    SetEvent(shared.discardEvent.Get());
    const bool done =
        !stuck && shared.discarded.wait_for(lock, std::chrono::milliseconds(kStopWaitMs),
                                            [&] { return shared.discardsDone >= ticket; });
    lock.unlock();
    if (!done) {
        // The reader is stuck in the driver; drop what we can from here.
        PurgeComm(shared.port.Get(), PURGE_RXCLEAR);
        shared.Drop();
    }
}

void ComReader::DoDiscard(Shared& shared) {
    std::uint64_t target = 0;
    {
        std::lock_guard<std::mutex> lock(shared.discardMutex);
        target = shared.discardsAsked;
    }
    PurgeComm(shared.port.Get(), PURGE_RXCLEAR);
    shared.Drop();
    {
        std::lock_guard<std::mutex> lock(shared.discardMutex);
        shared.discardsDone = target;
    }
    shared.discarded.notify_all();
}

bool ComReader::Flush(Shared& shared) {
    const HANDLE stop = shared.stopEvent.Get();
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(shared.outboxMutex);
            if (shared.outbox.empty()) {
                return true;
            }
            shared.writing = std::move(shared.outbox.front());
            shared.outbox.pop_front();
        }
        if (WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) {
            return false;
        }
        bool held = false;
        WriteWithin(shared.port.Get(), shared.writeOverlapped, shared.writeEvent.Get(),
                    shared.writing.bytes, stop, INFINITE, held);
        if (WaitForSingleObject(stop, shared.writing.pauseAfterMs) == WAIT_OBJECT_0) {
            return false;
        }
    }
}

void ComReader::Run(const std::shared_ptr<Shared>& state) {
    Shared& shared = *state;
    const HANDLE port = shared.port.Get();
    // In order of precedence: stop, discard, bytes to send, the read.
    const HANDLE waits[4] = {shared.stopEvent.Get(), shared.discardEvent.Get(),
                             shared.sendEvent.Get(), shared.readEvent.Get()};
    int failures = 0;
    for (;;) {
        shared.overlapped = OVERLAPPED{};
        shared.overlapped.hEvent = shared.readEvent.Get();
        DWORD got = 0;
        const DWORD readStartedAt = GetTickCount();
        bool ok = ReadFile(port, shared.chunk, static_cast<DWORD>(shared.readSize), nullptr,
                           &shared.overlapped) != FALSE;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            // No look while a read is pending: bytes may be filling it, so the line is not
            // known to be quiet until the read comes back empty.
            DWORD woke = WAIT_TIMEOUT;
            for (;;) {
                woke = WaitForMultipleObjects(4, waits, FALSE, INFINITE);
                if (woke != WAIT_OBJECT_0 + 2) {
                    break;
                } else if (!Flush(shared)) {
                    woke = WAIT_OBJECT_0;
                    break;
                }
            }
            if (woke != WAIT_OBJECT_0 + 3) {
                // Stop or discard: the read in flight ends here and its bytes are dropped. The
                // wait has no bound; Stop does not wait for it beyond its own.
                CancelIoEx(port, &shared.overlapped);
                GetOverlappedResult(port, &shared.overlapped, &got, TRUE);
                if (woke == WAIT_OBJECT_0 + 1) {
                    DoDiscard(shared);
                    continue;
                }
                return;
            }
            ok = true;
        }
        if (ok) {
            ok = GetOverlappedResult(port, &shared.overlapped, &got, FALSE) != FALSE;
            // Wine ends a read at its total time-out with ERROR_TIMEOUT where Windows reports
            // success: either way it is a read that took what had come.
            ok = ok || GetLastError() == ERROR_TIMEOUT;
        }
        if (ok && got > 0) {
            failures = 0;
            shared.Receive(shared.chunk, got);
        } else if (!ok) {
            // A line error clears; a device that is gone keeps failing and stops answering.
            DWORD errors = 0;
            const bool lineAnswers = ClearCommError(port, &errors, nullptr) != FALSE;
            if (!lineAnswers || ++failures >= kGoneAfterFailures) {
                shared.failed = true;
                // It reads no more but still answers discards and sends (the writes fail), so
                // that nobody waits for it.
                for (;;) {
                    const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
                    if (woke == WAIT_OBJECT_0 + 1) {
                        DoDiscard(shared);
                    } else if (woke != WAIT_OBJECT_0 + 2 || !Flush(shared)) {
                        return;
                    }
                }
            }
        }
        // A read that came back empty saw the line quiet up to now.
        if (ok && got == 0) {
            shared.Receive(nullptr, 0);
        }
        // After a read that failed, or came back empty sooner than its time-out (a driver that
        // ends reads at once), pause so that this loop cannot spin.
        const bool early = ok && got == 0 && GetTickCount() - readStartedAt < kTickMs / 2;
        const DWORD pause = !ok ? 100 : (early ? kTickMs : 0);
        const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, pause);
        if (woke == WAIT_OBJECT_0 + 1) {
            DoDiscard(shared);
        } else if (woke == WAIT_OBJECT_0 + 2) {
            if (!Flush(shared)) {
                return;
            }
        } else if (woke != WAIT_TIMEOUT) {
            return;  // stop, or the wait failed
        }
    }
}

}  // namespace ordane
