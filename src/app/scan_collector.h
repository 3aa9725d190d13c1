// Where one reading ends. A reading ends after more than 200 ms in which nothing arrived, judged
// by the arrival stamps the port reader gave each piece, not by when the program looked: a
// program held by a card read or a slow business application still sees the pause between two
// readings that arrived meanwhile, so they never reach the clerk glued into one.
//
// A scanner set to end each reading with a terminator (CR, LF, CR LF) tells where the reading
// ends itself: the reading ends the moment the terminator arrives, wherever it falls in a
// piece, and the terminator is not part of it. The quiet time still ends a reading without one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devices/serial_library.h"

namespace ordane {

struct CollectedReading {
    std::string bytes;  // empty when tooLong
    std::uint32_t lastByteAt = 0;
    std::size_t received = 0;  // bytes received for it, those dropped included
    bool tooLong = false;      // grew past the bound without a pause: dropped whole
    bool incomplete = false;   // bytes of it were lost before the program took them
};

class ScanCollector {
  public:
    static constexpr std::uint32_t kQuietMs = 200;
    // Of a pause, the part the port's reader must have seen quiet itself: a reader held by a
    // loaded machine finds bytes late, and the gap in their stamps is then no pause of the
    // line. Half the quiet time leaves room for a reader that looks every 50 ms or later.
    static constexpr std::uint32_t kSeenQuietMs = kQuietMs / 2;
    // Far above any real code: only line noise or a scanner that never pauses gets there.
    static constexpr std::size_t kMaxReading = std::size_t{1} << 20;

    explicit ScanCollector(std::string terminator = {}) : terminator_(std::move(terminator)) {}

    // Adds a piece as it arrived; a reading that its arrival shows ended goes to finished.
    void Add(const ArrivedBytes& piece, std::vector<CollectedReading>& finished);
    // The reading under way goes to finished when its last byte is more than the quiet time
    // older than now and the line was seen quiet (lineSeenAt, SerialLibrary::LineSeenAt) for
    // kSeenQuietMs of it.
    void Finish(std::uint32_t now, std::uint32_t lineSeenAt,
                std::vector<CollectedReading>& finished);
    void Finish(std::uint32_t now, std::vector<CollectedReading>& finished) {
        Finish(now, now, finished);
    }
    // The reading under way goes to finished whatever the time (its port went away).
    void FinishNow(std::vector<CollectedReading>& finished);
    bool Collecting() const { return collecting_; }
    // Drops the reading under way; returns how many bytes it had.
    std::size_t Drop();

  private:
    // Whether the reading under way ended: more than the quiet time passed by `until`, and the
    // line was seen quiet for kSeenQuietMs by `seenAt`.
    bool QuietSince(std::uint32_t until, std::uint32_t seenAt) const;
    // Bytes of a piece that belong to the reading under way (none of a terminator).
    void Append(std::string_view bytes, std::uint32_t at);
    void AddTerminated(const ArrivedBytes& piece, std::vector<CollectedReading>& finished);

    std::string terminator_;
    // The reading under way ends with the first byte of a two-byte terminator, held back until
    // the next piece shows whether the second follows.
    bool heldFirst_ = false;
    CollectedReading current_;
    bool collecting_ = false;
};

}  // namespace ordane
