// The serial library: one open port per instance, no handle passed. The scanner channel and
// the card-reader probe each use their own instance (CommDll, CommDll2), so a probe never
// disturbs the scanner's open port.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/line_settings.h"

namespace ordane {

// Bytes as they came off the line, stamped with the tick count (the message pump's clock) at
// their arrival. Where a reading ends is judged by these stamps, so a program held by a slow
// call still sees the pause between two readings that arrived meanwhile.
struct ArrivedBytes {
    std::string bytes;
    std::uint32_t at = 0;
    // A reading complete in itself (a Symbol link block): never joined to its neighbours.
    bool wholeReading = false;
    // How long before `at` the reader had last looked at the line: the bytes came at some
    // time in between. Above the reader's tick only when it was held (a loaded machine); 0
    // for a source that hands bytes on the moment they come.
    std::uint32_t unseenMs = 0;
    // Bytes that came right after these were lost (the program's queue was full): the reading
    // they belong to is not whole.
    bool cut = false;
};

class SerialLibrary {
  public:
    virtual ~SerialLibrary() = default;
    // 0 = opened.
    virtual std::int32_t OpenPort(std::int32_t port, const LineSettings& line) = 0;
    virtual std::int32_t ClosePort() = 0;
    virtual std::int32_t ClearRXBuff() = 0;
    virtual std::int32_t WriteData(const std::uint8_t* buff, std::int32_t count) = 0;
    // Returns at once with 0..capacity bytes, oldest first, removed from the library; -1 once
    // the device is gone (a USB adapter unplugged) and nothing received is left.
    virtual std::int32_t ReadData(std::uint8_t* buff, std::int32_t capacity) = 0;
    // Appends everything received and not yet read to out, piece by piece as it arrived
    // (ReadData and this share one queue). Returns the number of pieces appended, or -1 once
    // the device is gone and nothing received is left.
    virtual std::int32_t TakeArrived(std::vector<ArrivedBytes>& out) = 0;
    // The last time the line was looked at: everything that came before it has been taken
    // into the queue. A source that hands bytes on the moment they come answers now.
    virtual std::uint32_t LineSeenAt(std::uint32_t now) { return now; }
};

}  // namespace ordane
