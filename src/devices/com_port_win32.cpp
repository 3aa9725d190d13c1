#include "devices/com_port_win32.h"

#include <chrono>
#include <initializer_list>
#include <utility>
#include <system_error>

namespace ordane {

namespace {

DWORD NonZero(DWORD error) {
    return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
}

// A read waits for the first byte as long as it takes and ends this long after the last one.
// (Wine never completes an overlapped serial read under the "return at once with what is
// there" timeouts, so those are not used.)
constexpr DWORD kReadGapMs = 20;

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
                       std::int32_t parity, std::int32_t stopBits, DCB& applied, DWORD& error) {
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
    timeouts.ReadIntervalTimeout = kReadGapMs;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
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

std::int32_t WriteComPort(HANDLE port, HANDLE event, const std::uint8_t* data, std::int32_t count) {
    if (count <= 0) {
        return 0;
    }
    if (data == nullptr) {
        return -1;
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    if (!WriteFile(port, data, static_cast<DWORD>(count), nullptr, &overlapped) &&
        GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    DWORD written = 0;
    if (!GetOverlappedResult(port, &overlapped, &written, TRUE)) {
        return -1;
    }
    return static_cast<std::int32_t>(written);
}

bool ComReader::Start(HANDLE port, Receiver receiver, Dropper dropper, DWORD& error) {
    Stop();
    error = ERROR_SUCCESS;
    // Stop: manual reset, both waits of the loop must see it. Discard: one request each.
    for (auto [event, manualReset] :
         {std::pair{&stopEvent_, TRUE}, std::pair{&discardEvent_, FALSE},
          std::pair{&readEvent_, TRUE}}) {
        // Replacing the old event closes it: read the error before that.
        HANDLE created = CreateEventW(nullptr, manualReset, FALSE, nullptr);
        const DWORD createError = GetLastError();
        event->Reset(created);
        if (!event->Valid()) {
            error = NonZero(createError);
            return false;
        }
    }
    port_ = port;
    receiver_ = std::move(receiver);
    dropper_ = std::move(dropper);
    try {
        thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        port_ = nullptr;
        return false;
    }
    return true;
}

void ComReader::Stop() {
    if (thread_.joinable()) {
        SetEvent(stopEvent_.Get());
        thread_.join();
    }
    port_ = nullptr;
}

void ComReader::Discard() {
    if (port_ == nullptr) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t ticket = ++discardsAsked_;
    SetEvent(discardEvent_.Get());
    const bool done =
        discarded_.wait_for(lock, std::chrono::seconds(2), [&] { return discardsDone_ >= ticket; });
    lock.unlock();
    if (!done) {
        // The reader is stuck in the driver; drop what we can from here.
        PurgeComm(port_, PURGE_RXCLEAR);
        if (dropper_) {
            dropper_();
        }
    }
}

void ComReader::DoDiscard() {
    std::uint64_t target = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        target = discardsAsked_;
    }
    PurgeComm(port_, PURGE_RXCLEAR);
    if (dropper_) {
        dropper_();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        discardsDone_ = target;
    }
    discarded_.notify_all();
}

void ComReader::Run() {
    std::uint8_t chunk[4096];
    const HANDLE waits[3] = {stopEvent_.Get(), discardEvent_.Get(), readEvent_.Get()};
    for (;;) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = readEvent_.Get();
        DWORD got = 0;
        bool ok = ReadFile(port_, chunk, sizeof(chunk), nullptr, &overlapped) != FALSE;
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            DWORD woke = WAIT_TIMEOUT;
            while ((woke = WaitForMultipleObjects(3, waits, FALSE, kTickMs)) == WAIT_TIMEOUT) {
                receiver_(nullptr, 0);
            }
            if (woke != WAIT_OBJECT_0 + 2) {
                // Stop or discard: the read in flight ends here and its bytes are dropped.
                CancelIoEx(port_, &overlapped);
                GetOverlappedResult(port_, &overlapped, &got, TRUE);
                if (woke == WAIT_OBJECT_0 + 1) {
                    DoDiscard();
                    continue;
                }
                return;
            }
            ok = true;
        }
        if (ok) {
            ok = GetOverlappedResult(port_, &overlapped, &got, FALSE) != FALSE;
        }
        if (ok && got > 0) {
            receiver_(chunk, got);
        } else if (!ok) {
            // A line error or a vanished device: clear the error state and try again shortly.
            DWORD errors = 0;
            ClearCommError(port_, &errors, nullptr);
        }
        // After an empty or failed read pause, so that a driver which ends reads at once cannot
        // make this loop spin.
        const DWORD pause = ok ? (got > 0 ? 0 : kTickMs) : 100;
        const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, pause);
        if (woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) {
            return;
        }
        if (woke == WAIT_OBJECT_0 + 1) {
            DoDiscard();
        } else if (pause > 0) {
            receiver_(nullptr, 0);
        }
    }
}

}  // namespace ordane
