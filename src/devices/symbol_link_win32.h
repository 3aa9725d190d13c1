// The Symbol operations of the scanner's serial library on Win32. ConnPort opens the port at
// the given speed, 8N1, with a handle of its own (independent of the SerialLibrary instance),
// and a reader thread runs the SSI host engine on it: it acknowledges the scanner's packets,
// sends the commands (every write goes out on that thread, so the window's thread never waits
// for the line), and for each complete reading or revision reply posts
// kSymbolDataMessage / kSymbolVersionMessage to the connected window, wParam pointing to a
// heap copy of the bytes and lParam their count.
//
// The window's procedure (UI thread) hands each such message to Unpack, which copies the bytes
// into the buffer given with SetBuff and frees the copy. Copies are tracked: a message whose
// wParam is not a copy of ours (posted by someone else, or already taken) is ignored, copies
// still queued at DisConnPort are freed when their message comes or with the link, and a copy
// whose message could not be posted is freed at once.
#pragma once

#include <atomic>
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "common/handle_win32.h"
#include "common/text.h"
#include "devices/com_port_win32.h"
#include "devices/symbol_link.h"
#include "devices/ssi_host.h"

namespace ordane {

class SymbolLinkWin32 final : public SymbolLinkLibrary {
  public:
    SymbolLinkWin32() = default;
    ~SymbolLinkWin32() override;
    SymbolLinkWin32(const SymbolLinkWin32&) = delete;
    SymbolLinkWin32& operator=(const SymbolLinkWin32&) = delete;

    // 0 = connected; otherwise a system error code (ERROR_INVALID_WINDOW_HANDLE for a window
    // that does not exist). A link already connected is disconnected first.
    std::int32_t ConnPort(WindowHandle window, std::int32_t baudRate, std::int32_t port) override;
    std::int32_t SetBuff(std::int32_t port, std::uint8_t* buff, std::int32_t size) override;
    // Sends PARAM_SEND (temporary, no beep) with the parameter-number/value bytes.
    std::int32_t SetParam(std::int32_t port, const std::uint8_t* params,
                          std::int32_t count) override;
    // Sends REQUEST_REVISION; the reply comes later as kSymbolVersionMessage.
    std::int32_t GetScannerVersion(std::int32_t port) override;
    std::int32_t DisConnPort(WindowHandle window, std::int32_t port) override;
    bool LinkFailed() const override { return reader_.Failed(); }

    // UI thread, for kSymbolDataMessage and kSymbolVersionMessage: copies the message's bytes
    // to the SetBuff buffer (as many as fit) and returns how many; 0 for a message that
    // carries no copy of this link's.
    std::int32_t Unpack(UINT msg, WPARAM wParam, LPARAM lParam);

    // Copies posted and not yet taken by Unpack (diagnostics).
    std::size_t OutstandingCopies() const;
    std::uint32_t FailedHandOvers() const override { return failedHandOvers_.load(); }

  private:
    struct Copy {
        UINT msg;
        std::unique_ptr<std::uint8_t[]> bytes;
        std::size_t count;
        bool live;  // false once the link was disconnected: the bytes are not delivered
    };

    // Runs on whichever thread drives the engine, with engineMutex_ held: hands the bytes to
    // the reader thread.
    void Write(const Bytes& bytes);
    void Post(UINT msg, const Bytes& bytes);
    bool Connected() const { return port_.Valid(); }

    ComPort port_;
    HWND window_ = nullptr;
    std::uint8_t* buffer_ = nullptr;
    std::size_t bufferSize_ = 0;

    std::mutex engineMutex_;
    std::unique_ptr<SsiHost> engine_;
    ComReader reader_;  // after engine_: stopped before the engine goes

    mutable std::mutex copiesMutex_;
    std::atomic<std::uint32_t> failedHandOvers_{0};
    std::map<const std::uint8_t*, Copy> copies_;
};

}  // namespace ordane
