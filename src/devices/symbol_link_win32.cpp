#include "devices/symbol_link_win32.h"

#include <algorithm>
#include <cstring>

namespace ordane {

namespace {

// Without hardware handshaking a sleeping scanner misses the first byte it is sent: a wakeup
// byte goes before every command, and the command follows after the scanner's wakeup time.
constexpr std::uint8_t kWakeup = 0x00;
constexpr DWORD kWakeupPauseMs = 20;

bool IsHandshake(const Bytes& packet) {
    return packet.size() > 1 && (packet[1] == ssi::kCmdAck || packet[1] == ssi::kCmdNak);
}

}  // namespace

SymbolLinkWin32::~SymbolLinkWin32() {
    DisConnPort(0, 0);
}

std::int32_t SymbolLinkWin32::ConnPort(WindowHandle window, std::int32_t baudRate,
                                       std::int32_t port) {
    DisConnPort(0, 0);
    const HWND hwnd = reinterpret_cast<HWND>(window);
    if (hwnd == nullptr || !IsWindow(hwnd)) {
        return ERROR_INVALID_WINDOW_HANDLE;
    }
    DWORD error = ERROR_SUCCESS;
    ComPort opened = OpenComPort(port, error);
    if (!opened.Valid()) {
        return static_cast<std::int32_t>(error);
    }
    DCB applied{};
    if (!ApplyLineSettings(opened.Get(), baudRate, 8, 0, 0, applied, error)) {
        return static_cast<std::int32_t>(error);
    }
    {
        std::lock_guard<std::mutex> lock(engineMutex_);
        port_ = std::move(opened);
        window_ = hwnd;
        SsiHost::Callbacks callbacks;
        callbacks.write = [this](const Bytes& bytes) { Write(bytes); };
        callbacks.decode = [this](const Bytes& bytes) { Post(kSymbolDataMessage, bytes); };
        callbacks.revision = [this](const Bytes& bytes) { Post(kSymbolVersionMessage, bytes); };
        callbacks.lost = [this](SsiReading::Loss why) {
            Post(kSymbolLostMessage, Bytes{static_cast<std::uint8_t>(why)});
        };
        engine_ = std::make_unique<SsiHost>(std::move(callbacks));
    }
    auto receive = [this](const std::uint8_t* data, std::size_t count) {
        std::lock_guard<std::mutex> lock(engineMutex_);
        const std::uint32_t now = GetTickCount();
        engine_->Receive(data, count, now);
        engine_->Tick(now);
    };
    if (!reader_.Start(port_.Get(), ReadSizeFor(baudRate), receive, nullptr, error)) {
        DisConnPort(0, 0);
        return static_cast<std::int32_t>(error);
    }
    return 0;
}

std::int32_t SymbolLinkWin32::SetBuff(std::int32_t /*port*/, std::uint8_t* buff,
                                      std::int32_t size) {
    if (buff == nullptr || size <= 0) {
        buffer_ = nullptr;
        bufferSize_ = 0;
        return ERROR_INVALID_PARAMETER;
    }
    buffer_ = buff;
    bufferSize_ = static_cast<std::size_t>(size);
    return 0;
}

std::int32_t SymbolLinkWin32::SetParam(std::int32_t /*port*/, const std::uint8_t* params,
                                       std::int32_t count) {
    if (params == nullptr || count <= 0) {
        return ERROR_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> lock(engineMutex_);
    if (!engine_) {
        return ERROR_NOT_READY;
    }
    engine_->SendParameters(params, static_cast<std::size_t>(count), false, GetTickCount());
    return 0;
}

std::int32_t SymbolLinkWin32::GetScannerVersion(std::int32_t /*port*/) {
    std::lock_guard<std::mutex> lock(engineMutex_);
    if (!engine_) {
        return ERROR_NOT_READY;
    }
    engine_->RequestRevision(GetTickCount());
    return 0;
}

std::int32_t SymbolLinkWin32::DisConnPort(WindowHandle /*window*/, std::int32_t /*port*/) {
    reader_.Stop();
    {
        std::lock_guard<std::mutex> lock(engineMutex_);
        engine_.reset();
        port_.Close();
        window_ = nullptr;
    }
    // Messages still queued keep their copies until they come (or the link goes), so that no
    // copy's address is reused while a message may still name it. Their readings are not
    // handed on any more (the port closed, or the program ends): each is counted as lost.
    std::lock_guard<std::mutex> lock(copiesMutex_);
    for (auto& entry : copies_) {
        if (entry.second.live && entry.second.msg == kSymbolDataMessage) {
            ++failedHandOvers_;
        }
        entry.second.live = false;
    }
    return 0;
}

void SymbolLinkWin32::Write(const Bytes& bytes) {
    if (!IsHandshake(bytes)) {
        reader_.Send({kWakeup}, kWakeupPauseMs);
    }
    reader_.Send(bytes);
}

void SymbolLinkWin32::Post(UINT msg, const Bytes& bytes) {
    if (window_ == nullptr) {
        return;
    }
    Copy copy{msg, std::make_unique<std::uint8_t[]>(std::max<std::size_t>(bytes.size(), 1)),
              bytes.size(), true};
    std::memcpy(copy.bytes.get(), bytes.data(), bytes.size());
    const std::uint8_t* key = copy.bytes.get();
    {
        std::lock_guard<std::mutex> lock(copiesMutex_);
        copies_.emplace(key, std::move(copy));
    }
    if (!PostMessageW(window_, msg, reinterpret_cast<WPARAM>(key),
                      static_cast<LPARAM>(bytes.size()))) {
        // The window is gone or its queue is full: nobody will take this copy.
        if (msg != kSymbolVersionMessage) {
            ++failedHandOvers_;
        }
        std::lock_guard<std::mutex> lock(copiesMutex_);
        copies_.erase(key);
    }
}

std::int32_t SymbolLinkWin32::Unpack(UINT msg, WPARAM wParam, LPARAM lParam) {
    Copy copy;
    {
        std::lock_guard<std::mutex> lock(copiesMutex_);
        const auto found = copies_.find(reinterpret_cast<const std::uint8_t*>(wParam));
        if (found == copies_.end() || found->second.msg != msg ||
            static_cast<LPARAM>(found->second.count) != lParam) {
            return 0;
        }
        copy = std::move(found->second);
        copies_.erase(found);
    }
    if (!copy.live || buffer_ == nullptr) {
        return 0;
    }
    const std::size_t kept = std::min(copy.count, bufferSize_);
    std::memcpy(buffer_, copy.bytes.get(), kept);
    return static_cast<std::int32_t>(kept);
}

std::size_t SymbolLinkWin32::OutstandingCopies() const {
    std::lock_guard<std::mutex> lock(copiesMutex_);
    return copies_.size();
}

}  // namespace ordane
