// FrmSymbol: the Symbol scanner channel. The scanner's library runs a packet link to a Symbol
// scanner and reports readings and version replies as window messages to the hidden window
// "Symbol读取窗体". This object, behind that window, turns the link into something that
// looks like an ordinary serial port (the five port operations of the serial library), so
// the scanner channel can send every request here when the brand is "Symbol".
//
// The Win32 shell owns the window: for kSymbolDataMessage and kSymbolVersionMessage it lets
// the link copy the message's bytes into the buffer given with SetBuff (LibraryBuffer()), then
// calls SymbolWindowHook with the count, then passes the message on to the window's previous
// procedure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "common/pump.h"
#include "common/text.h"
#include "devices/serial_library.h"
#include "devices/symbol_link.h"
#include "log/diagnostic_log.h"

namespace ordane {

class FrmSymbol {
  public:
    // The library writes each message's bytes at the start of this buffer (handed over as
    // 5000 bytes, one spare).
    static constexpr std::size_t kLibraryBufferSize = 5001;
    static constexpr std::int32_t kLibraryBufferGiven = 5000;
    // One reading as stored: the five-byte reading-start marker and at most 4996 data bytes.
    static constexpr std::size_t kStoreSize = 5001;
    // Readings kept unread. Each was acknowledged to the scanner already, so none may be lost
    // to a program that is busy for a few seconds; the bound only stops a scanner that keeps
    // sending while nobody reads (beyond it new readings are dropped and counted).
    static constexpr std::size_t kMaxReadings = 64;

    FrmSymbol(SymbolLinkLibrary& link, MessagePump& pump, WindowHandle window = 0);
    FrmSymbol(const FrmSymbol&) = delete;
    FrmSymbol& operator=(const FrmSymbol&) = delete;

    // The window the link reports to, for a shell that creates it after this object.
    void AttachWindow(WindowHandle window) { window_ = window; }
    WindowHandle Window() const { return window_; }

    // Connects the link at 9600 on Port; the other line parameters are not used by a Symbol
    // scanner. 0 = connected (then the buffer is handed over and decode packets switched on),
    // else the library's code.
    std::int32_t OpenPort(std::int32_t Port, const LineSettings& line);
    // Result of DisConnPort.
    std::int32_t ClosePort();
    // Moves up to BuffSize pending bytes, oldest first and across readings, to buff; returns
    // how many, or -1 once nothing is pending and the link's port went away.
    std::int32_t ReadData(std::uint8_t* buff, std::int32_t BuffSize);
    // A Symbol scanner takes no commands through the channel: sends nothing, returns 0.
    std::int32_t WriteData(const std::uint8_t* buff, std::int32_t Count);
    // The readings not yet read, oldest first, each one whole (wholeReading) behind its
    // "DE6K8" marker and stamped with the time its message arrived; -1 as ReadData.
    std::int32_t TakeArrived(std::vector<ArrivedBytes>& out);
    // Drops the pending bytes; returns 0.
    std::int32_t ClearRXBuff();
    // Moves out why each reading acknowledged to the scanner and not handed on was dropped
    // since the last call: the link's losses, unread readings beyond kMaxReadings, readings
    // still unread when the port closed or was cleared, readings the link could not post.
    void TakeLosses(std::vector<LogWord>& out);
    // Asks the scanner for its version and waits one Delay 1 for the reply; True when the
    // version names the DS6607 engine ("NBRPYA"), which is then stored in ScannerXH.
    bool CheckSymbol();

    // A link message with n bytes at the start of LibraryBuffer(). Data: queued as a reading
    // of its own behind the "DE6K8" marker (dropped and counted when kMaxReadings are
    // unread). Version: appended to the version text. Other messages are not this object's.
    void SymbolWindowHook(unsigned msg, std::int32_t n);

    std::uint8_t* LibraryBuffer() { return libraryBuffer_.data(); }
    // Bytes not yet read, over all readings.
    std::int32_t PendingCount() const;
    // Readings dropped because kMaxReadings were unread, since this object was made.
    std::uint32_t DroppedCount() const { return dropped_; }
    const Text& VersionText() const { return version_; }

    // The model found by CheckSymbol; empty until a check succeeds.
    Text ScannerXH;

  private:
    void SetPacketFormat();

    SymbolLinkLibrary& link_;
    MessagePump& pump_;
    WindowHandle window_;
    std::int32_t port_ = 0;
    std::array<std::uint8_t, kLibraryBufferSize> libraryBuffer_{};
    // Oldest first; a reading ReadData took part of is kept as its rest, no longer whole.
    std::deque<ArrivedBytes> readings_;
    std::uint32_t dropped_ = 0;
    std::vector<LogWord> losses_;
    std::uint32_t handOversSeen_ = 0;
    void LoseUnread(LogWord why);
    Text version_;
    std::array<std::uint8_t, 21> params_{};
};

}  // namespace ordane
