#include "app/scan_collector.h"

#include <utility>

namespace ordane {

namespace {
// The tick difference is taken modulo 2^32, so the wrap of the millisecond counter does not
// matter.
std::uint32_t Since(std::uint32_t earlier, std::uint32_t later) {
    return static_cast<std::uint32_t>(later - earlier);
}
}  // namespace

void ScanCollector::Add(const ArrivedBytes& piece, std::vector<CollectedReading>& finished) {
    if (piece.bytes.empty()) {
        return;
    }
    if (collecting_ && (piece.wholeReading || Since(current_.lastByteAt, piece.at) > kQuietMs)) {
        FinishNow(finished);
    }
    collecting_ = true;
    current_.lastByteAt = piece.at;
    current_.received += piece.bytes.size();
    if (current_.tooLong || current_.bytes.size() + piece.bytes.size() > kMaxReading) {
        current_.tooLong = true;  // dropped whole, up to the next pause
        current_.bytes.clear();
    } else {
        current_.bytes += piece.bytes;
    }
    if (piece.wholeReading) {
        FinishNow(finished);
    }
}

void ScanCollector::Finish(std::uint32_t now, std::vector<CollectedReading>& finished) {
    if (collecting_ && Since(current_.lastByteAt, now) > kQuietMs) {
        FinishNow(finished);
    }
}

void ScanCollector::FinishNow(std::vector<CollectedReading>& finished) {
    if (!collecting_) {
        return;
    }
    finished.push_back(std::move(current_));
    current_ = CollectedReading{};
    collecting_ = false;
}

std::size_t ScanCollector::Drop() {
    const std::size_t had = current_.received;
    current_ = CollectedReading{};
    collecting_ = false;
    return had;
}

}  // namespace ordane
