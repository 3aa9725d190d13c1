// What the serial port's reader thread took off the line and the program has not read yet.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "devices/serial_library.h"

namespace ordane {

// Bytes received and not yet read, oldest first, in the pieces the reader thread took off the
// line, each with its arrival time. Bounded so that a device that streams while nobody reads
// cannot take all memory; bytes beyond the bound are dropped, as a full driver queue would, and
// the piece before them says so (ArrivedBytes::cut).
class ArrivalQueue {
  public:
    static constexpr std::size_t kLimit = 1u << 20;

    void Push(const std::uint8_t* data, std::size_t count, std::uint32_t at,
              std::uint32_t unseenMs = 0);
    // Bytes across pieces; a piece read in part keeps its rest and its time.
    std::size_t Pop(std::uint8_t* out, std::size_t capacity);
    // Appends every piece to out; returns how many.
    std::size_t TakeAll(std::vector<ArrivedBytes>& out);
    void Clear();
    std::size_t Size() const { return size_; }

  private:
    std::deque<ArrivedBytes> pieces_;
    std::size_t size_ = 0;
};

}  // namespace ordane
