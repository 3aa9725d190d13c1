#include "devices/arrival_queue.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>

namespace ordane {

void ArrivalQueue::Push(const std::uint8_t* data, std::size_t count, std::uint32_t at,
                        std::uint32_t unseenMs) {
    const std::size_t room = kLimit - std::min(kLimit, size_);
    if (room == 0) {
        pieces_.back().cut = true;  // full, so never empty
        return;
    }
    const std::size_t kept = std::min(count, room);
    pieces_.push_back(
        ArrivedBytes{std::string(data, data + kept), at, false, unseenMs, kept < count});
    size_ += kept;
}

std::size_t ArrivalQueue::Pop(std::uint8_t* out, std::size_t capacity) {
    std::size_t n = 0;
    while (n < capacity && !pieces_.empty()) {
        std::string& front = pieces_.front().bytes;
        const std::size_t take = std::min(front.size(), capacity - n);
        std::memcpy(out + n, front.data(), take);
        n += take;
        front.erase(0, take);
        if (front.empty()) {
            pieces_.pop_front();
        }
    }
    size_ -= n;
    return n;
}

std::size_t ArrivalQueue::TakeAll(std::vector<ArrivedBytes>& out) {
    const std::size_t n = pieces_.size();
    out.insert(out.end(), std::make_move_iterator(pieces_.begin()),
               std::make_move_iterator(pieces_.end()));
    Clear();
    return n;
}

void ArrivalQueue::Clear() {
    pieces_.clear();
    size_ = 0;
}

}  // namespace ordane
